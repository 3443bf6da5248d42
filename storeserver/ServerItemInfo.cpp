#include "ServerItemInfo.h"

#include "Served.h"

#include "common/Exceptions.h"

namespace cfx::storeserver {

STDMETHODIMP ServerItemInfo::GetType(LONG* type) {
    return served(IID_IStorageItem, [&] { *notNull(type) = LONG(info_.type); });
}

STDMETHODIMP ServerItemInfo::GetName(BSTR* name) {
    return served(IID_IStorageItem, [&] {
        *notNull(name) = nullptr;
        *name = allocBstr(info_.name);
    });
}

STDMETHODIMP ServerItemInfo::GetTimes(::ItemTimes* times) {
    return served(IID_IStorageItem, [&] {
        *notNull(times) = {info_.times.access, info_.times.creation, info_.times.write};
    });
}

STDMETHODIMP ServerItemInfo::GetSize(ULONGLONG* size) {
    return served(IID_IStorageItem, [&] { *notNull(size) = info_.size; });
}

STDMETHODIMP ServerItemInfo::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_IStorageItem) ? S_OK : S_FALSE;
}

} // namespace cfx::storeserver
