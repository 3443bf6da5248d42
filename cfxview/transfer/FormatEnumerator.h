// The formats a StorageDataObject offers: a private copy of FORMATETC records
// and a cursor into them.
#pragma once

#include "common/ComObjectBase.h"

#include <objidl.h>

#include <vector>

namespace cfx::transfer {

class FormatEnumerator final : public ComObject<IEnumFORMATETC> {
public:
    // The target-device pointers are copied, not duplicated.
    explicit FormatEnumerator(std::vector<FORMATETC> formats);

    STDMETHODIMP Next(ULONG count, FORMATETC* formats, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumFORMATETC** clone) override;

private:
    std::vector<FORMATETC> formats_;
    std::size_t cursor_ = 0;
};

} // namespace cfx::transfer
