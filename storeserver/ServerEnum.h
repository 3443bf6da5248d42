// IStorageEnum over a folder's listing, taken when the enumerator was made.
#pragma once

#include "StoreTypes.h"

#include "cfxstorage.h"
#include "common/ComObjectBase.h"

#include <vector>

namespace cfx::storeserver {

class ServerEnum : public ComObject<IStorageEnum, ISupportErrorInfo> {
public:
    explicit ServerEnum(std::vector<store::ItemInfo> items) : items_(std::move(items)) {}

    STDMETHODIMP Next(IStorageItem** item) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    std::vector<store::ItemInfo> items_;
    size_t next_ = 0;
};

} // namespace cfx::storeserver
