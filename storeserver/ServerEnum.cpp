#include "ServerEnum.h"

#include "Served.h"
#include "ServerItemInfo.h"

#include "common/Exceptions.h"

namespace cfx::storeserver {

STDMETHODIMP ServerEnum::Next(IStorageItem** item) {
    return served(IID_IStorageEnum, [&] {
        *notNull(item) = nullptr;
        if (next_ < items_.size())
            *item = new ServerItemInfo(items_[next_++]);
    });
}

STDMETHODIMP ServerEnum::Reset() {
    next_ = 0;
    return S_OK;
}

STDMETHODIMP ServerEnum::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_IStorageEnum) ? S_OK : S_FALSE;
}

} // namespace cfx::storeserver
