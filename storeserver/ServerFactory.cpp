#include "ServerFactory.h"

#include "StorageServer.h"

#include "common/Exceptions.h"

namespace cfx::storeserver {

volatile LONG& serverLockCount() noexcept {
    static volatile LONG count = 0;
    return count;
}

STDMETHODIMP ServerFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    return guarded([&]() -> HRESULT {
        *notNull(out) = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* server = new StorageServer;
        HRESULT hr = server->QueryInterface(iid, out);
        server->Release();
        return hr;
    });
}

STDMETHODIMP ServerFactory::LockServer(BOOL lock) {
    if (lock)
        InterlockedIncrement(&serverLockCount());
    else
        InterlockedDecrement(&serverLockCount());
    return S_OK;
}

} // namespace cfx::storeserver
