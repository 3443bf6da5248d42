// IStorageItem for an item as a listing or GetItemInfo saw it: a snapshot
// that needs no further call into the storage.
#pragma once

#include "StoreTypes.h"

#include "cfxstorage.h"
#include "common/ComObjectBase.h"

namespace cfx::storeserver {

class ServerItemInfo : public ComObject<IStorageItem, ISupportErrorInfo> {
public:
    explicit ServerItemInfo(store::ItemInfo info) : info_(std::move(info)) {}

    STDMETHODIMP GetType(LONG* type) override;
    STDMETHODIMP GetName(BSTR* name) override;
    STDMETHODIMP GetTimes(::ItemTimes* times) override;
    STDMETHODIMP GetSize(ULONGLONG* size) override;
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    store::ItemInfo info_;
};

} // namespace cfx::storeserver
