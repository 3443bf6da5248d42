// fake_storage_server.exe: serves MemoryCatalog storages to other processes as
// the storage server's class. COM starts it from LocalServer32 with
// "-Embedding"; it serves from one single-threaded apartment and exits once
// every object it handed out has been released, or when no client comes.
#include "support/MemoryStorage.h"
#include "common/ErrorObjectHook.h"

#include "common/ComObjectBase.h"
#include "common/Exceptions.h"
#include "module/Module.h"

#include <utility>

namespace {

// A server that nobody connects to must not linger in the test's prefix.
constexpr UINT kNoClientTimeoutMs = 30000;
constexpr UINT kRecheckMs = 250;

class ServerFactory : public cfx::ComObject<IClassFactory> {
public:
    explicit ServerFactory(cfx::test::MemoryCatalog catalog) : catalog_(std::move(catalog)) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        return cfx::guarded([&]() -> HRESULT {
            *cfx::notNull(out) = nullptr;
            if (outer)
                return CLASS_E_NOAGGREGATION;
            served_ = true;
            IStorageServer* server = catalog_.createServer();
            HRESULT hr = server->QueryInterface(iid, out);
            server->Release();
            return hr;
        });
    }

    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            cfx::module::lock();
        else
            cfx::module::unlock();
        return S_OK;
    }

    bool served() const noexcept { return served_; }

private:
    cfx::test::MemoryCatalog catalog_;
    bool served_ = false;
};

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;

    cfx::registerErrorObjectHook();
    auto* factory = new ServerFactory(cfx::test::MemoryCatalog());
    // The hook's and the factory's units of the lock count; anything above
    // them is a client's.
    const LONG idle = cfx::module::lockCount();
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_StorageServer, static_cast<IClassFactory*>(factory),
                                       CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr)) {
        const UINT_PTR noClient = SetTimer(nullptr, 0, kNoClientTimeoutMs, nullptr);
        // Calls into a single-threaded apartment arrive as window messages, so
        // the last release is normally seen right after the message that
        // carried it; Wine sometimes lets a stub go later, outside any call,
        // so the count is looked at on a timer too.
        SetTimer(nullptr, 0, kRecheckMs, nullptr);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_TIMER && !msg.hwnd && msg.wParam == noClient &&
                !factory->served())
                break;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (factory->served() && cfx::module::lockCount() <= idle)
                break;
        }
        CoRevokeClassObject(cookie);
    }
    factory->Release();
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 2;
}
