#include "server/ServerCall.h"

#include "module/Exceptions.h"
#include "server/ErrorObjectHook.h"

#include <comdef.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <algorithm>

using Microsoft::WRL::ComPtr;

namespace cfx {

namespace {

constexpr HRESULT fromRpcStatus(long status) {
    return static_cast<HRESULT>(0x80070000u | static_cast<unsigned long>(status));
}

// What an activation meets at a server that is leaving: its class object
// asked for after the class was revoked (E_FAIL), or a process that ended
// under the call.
constexpr HRESULT kLeavingServer[] = {
    E_FAIL,
    CO_E_SERVER_STOPPING,
    CO_E_OBJNOTCONNECTED,
    RPC_E_DISCONNECTED,
    RPC_E_SERVER_DIED,
    RPC_E_SERVER_DIED_DNE,
    fromRpcStatus(RPC_S_SERVER_UNAVAILABLE),
    fromRpcStatus(RPC_S_CALL_FAILED),
    fromRpcStatus(RPC_S_CALL_FAILED_DNE),
    fromRpcStatus(RPC_S_UNKNOWN_IF),
};
constexpr int kActivationAttempts = 3;

} // namespace

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

HRESULT activateStorageServer(DWORD context, IStorageServer** root) noexcept {
    if (!root)
        return E_POINTER;
    *root = nullptr;
    HRESULT hr = E_UNEXPECTED;
    for (int attempt = 0; attempt < kActivationAttempts; ++attempt) {
        ComPtr<IClassFactory> factory;
        hr = CoGetClassObject(CLSID_StorageServer, context, nullptr, IID_PPV_ARGS(&factory));
        if (SUCCEEDED(hr))
            hr = factory ? factory->CreateInstance(nullptr, IID_IStorageServer,
                                                   reinterpret_cast<void**>(root))
                         : E_POINTER;
        if (SUCCEEDED(hr) || std::find(std::begin(kLeavingServer), std::end(kLeavingServer), hr) ==
                                 std::end(kLeavingServer))
            break;
    }
    return hr;
}

ComPtr<IStorageServer> createRoot() {
    // Under Wine the server's error descriptions reach this process only
    // through the channel hook; once per process.
    [[maybe_unused]] static const HRESULT hooked = carryErrorObjectsUnderWine();
    constexpr DWORD kAnyServer = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    ComPtr<IStorageServer> root;
    check(activateStorageServer(kAnyServer, &root));
    return root;
}

} // namespace cfx
