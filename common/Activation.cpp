#include "common/Activation.h"

#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <iterator>

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
constexpr int kAttempts = 3;

} // namespace

HRESULT activate(REFCLSID clsid, DWORD context, REFIID iid, void** out) noexcept {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    HRESULT hr = E_UNEXPECTED;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Microsoft::WRL::ComPtr<IClassFactory> factory;
        hr = CoGetClassObject(clsid, context, nullptr, IID_PPV_ARGS(&factory));
        if (SUCCEEDED(hr))
            hr = factory ? factory->CreateInstance(nullptr, iid, out) : E_POINTER;
        if (SUCCEEDED(hr) || std::find(std::begin(kLeavingServer), std::end(kLeavingServer), hr) ==
                                 std::end(kLeavingServer))
            break;
    }
    return hr;
}

} // namespace cfx
