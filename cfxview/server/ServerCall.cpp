#include "server/ServerCall.h"

#include "common/Activation.h"
#include "common/ErrorObjectHook.h"
#include "common/Exceptions.h"
#include "common/Variant.h"
#include "module/Module.h"
#include "server/StorageProperties.h"

#include <comdef.h>
#include <oaidl.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace cfx::server {

void checkServerCall(HRESULT hr, IUnknown* object, REFIID iid) {
    if (SUCCEEDED(hr))
        return;
    // Take the thread's error object before asking the object anything: the
    // QueryInterface below may itself be a call to another process.
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.GetAddressOf()) != S_OK)
        info.Reset();

    ComPtr<ISupportErrorInfo> support;
    if (!object || FAILED(object->QueryInterface(IID_PPV_ARGS(&support))) ||
        support->InterfaceSupportsErrorInfo(iid) != S_OK)
        info.Reset();                    // left over from some other call
    throw _com_error(hr, info.Detach()); // takes over the reference
}

ComPtr<IStorageObject> openStorage(IStorageServer* root, const std::wstring& path) {
    ComPtr<IStorageObject> storage;
    checkServerCall(notNull(root)->OpenStorage(makeBstr(path).get(), &storage), root);
    notNull(storage.Get());
    return storage;
}

namespace {

// COM keeps a channel hook until the process ends and has no call to remove
// it: the library that holds the hook's code stays loaded from then on, or a
// FreeLibrary would leave COM calling into unmapped code. The hook lives as
// long as the process, like the module, so its unit of the lock count is
// given back: it must not keep DllCanUnloadNow from answering S_OK.
void keepHookLoaded() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&keepHookLoaded), &self);
    module::unlock();
}

} // namespace

ComPtr<IStorageServer> createRoot() {
    // Under Wine the server's error descriptions reach this process only
    // through the channel hook; once per process.
    [[maybe_unused]] static const HRESULT hooked = [] {
        const HRESULT hr = carryErrorObjectsUnderWine();
        if (hr == S_OK)
            keepHookLoaded();
        return hr;
    }();
    constexpr DWORD kAnyServer = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    ComPtr<IStorageServer> root;
    check(activate(CLSID_StorageServer, kAnyServer, IID_PPV_ARGS(&root)));
    return root;
}

bool storageClosedToUser(BSTR path) {
    bool frozen = false;
    {
        ComPtr<IStorageServer> server = createRoot();
        ComPtr<IStorageObject> storage;
        checkServerCall(server->OpenStorage(path, &storage), server.Get());
        frozen = readFrozen(notNull(storage.Get()));
    }
    ComPtr<IStorageServer> server = createRoot();
    LONG state = StorageStateOpen;
    checkServerCall(server->GetStorageState(path, &state), server.Get());
    if (state == StorageStateFrozen)
        return true;
    if (state == StorageStateUnknown && frozen) {
        checkServerCall(server->SetStorageFrozen(path, 1), server.Get());
        return true;
    }
    return false;
}

} // namespace cfx::server
