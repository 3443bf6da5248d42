#include "server/ServerCall.h"

#include "common/Activation.h"
#include "common/ErrorObjectHook.h"
#include "common/Exceptions.h"
#include "common/Variant.h"

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
    IErrorInfo* taken = nullptr;
    if (GetErrorInfo(0, &taken) != S_OK)
        taken = nullptr;
    ComPtr<IErrorInfo> info;
    info.Attach(taken);

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

ComPtr<IStorageServer> createRoot() {
    // Under Wine the server's error descriptions reach this process only
    // through the channel hook; once per process.
    [[maybe_unused]] static const HRESULT hooked = carryErrorObjectsUnderWine();
    constexpr DWORD kAnyServer = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    ComPtr<IStorageServer> root;
    check(activate(CLSID_StorageServer, kAnyServer, IID_PPV_ARGS(&root)));
    return root;
}

} // namespace cfx::server
