// The IEnumIDList the storage folder hands the shell: a snapshot of one
// listing, taken at once from the storage server, walked without touching the
// server again. It holds no folder and no server object.
#pragma once

#include "common/ComObjectBase.h"
#include "common/Handles.h"
#include "folder/StorageItemId.h"

#include <shlobj.h>

#include <cstddef>
#include <vector>

namespace cfx::folder {

class StorageItemEnumerator final : public ComObject<IEnumIDList> {
public:
    // Takes the single-identifier lists, in the order to hand them out.
    explicit StorageItemEnumerator(std::vector<ItemIdList> items) noexcept;

    STDMETHODIMP Next(ULONG count, PITEMID_CHILD* items, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumIDList** copy) override;

private:
    std::vector<ItemIdList> items_;
    std::size_t position_ = 0;
};

} // namespace cfx::folder
