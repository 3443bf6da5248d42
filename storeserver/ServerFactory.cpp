#include "ServerFactory.h"

#include "StorageServer.h"

#include "module/Exceptions.h"
#include "module/Module.h"

namespace cfx::storeserver {

STDMETHODIMP ServerFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    return guarded([&]() -> HRESULT {
        *not_null(out) = nullptr;
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
        module::lock();
    else
        module::unlock();
    return S_OK;
}

} // namespace cfx::storeserver
