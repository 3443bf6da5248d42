// forward_bench.exe: what it costs a shell thread to have something done on
// the storage thread, next to what a call of the storage server costs across
// apartments and across processes. Prints microseconds per call; not a test.
//
// It registers the proxy/stub DLL and fake_storage_server.exe (both beside the
// program) in the prefix it runs in, the way the tests do.
#include "support/MemoryStorage.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/StorageThread.h"

#include "BenchClock.h"

#include <windows.h>
#include <objbase.h>

#include "cfxstorage.h"

#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <utility>

namespace {

// Each figure is taken over at least this many calls and this long a time.
constexpr long kMinCalls = 1000;
constexpr double kMinSeconds = 2.0;
constexpr long kWarmUpCalls = 50;

constexpr DWORD kServerContext = CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER | CLSCTX_REMOTE_SERVER;

using cfx::bench::seconds;

// Calls the function until enough calls and time have passed and prints the
// mean time per call. The function returns false when a call failed.
template <class Call> void measure(const char* label, Call&& call) {
    for (long i = 0; i < kWarmUpCalls; ++i)
        if (!call()) {
            std::printf("%s: not measured (the call failed)\n", label);
            return;
        }
    long calls = 0;
    const double start = seconds();
    double elapsed = 0;
    do {
        for (int i = 0; i < 100; ++i)
            if (!call()) {
                std::printf("%s: not measured (the call failed)\n", label);
                return;
            }
        calls += 100;
        elapsed = seconds() - start;
    } while (calls < kMinCalls || elapsed < kMinSeconds);
    std::printf("%s: %.1f us (%ld calls)\n", label, elapsed * 1e6 / static_cast<double>(calls),
                calls);
    std::fflush(stdout);
}

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring guidText(REFGUID id) {
    wchar_t text[40];
    StringFromGUID2(id, text, 40);
    return text;
}

// The proxy/stub DLL marshals the storage interfaces between apartments.
HRESULT registerProxyDll() {
    HMODULE proxy = LoadLibraryW((programFolder() + L"cfxstorageps.dll").c_str());
    if (!proxy)
        return HRESULT_FROM_WIN32(GetLastError());
    // Through void*: an export's real type is not FARPROC's.
    auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(proxy, "DllRegisterServer")));
    return registerServer ? registerServer() : E_NOINTERFACE;
}

// The fake server as the storage server's local server, per user and (what
// Wine 8 reads) per machine.
bool registerFakeServer() {
    const std::wstring program = programFolder() + L"fake_storage_server.exe";
    if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    const std::wstring key = L"CLSID\\" + guidText(CLSID_StorageServer) + L"\\LocalServer32";
    const std::wstring command = L"\"" + program + L"\"";
    const auto size = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
    for (auto [root, prefix] :
         {std::pair{HKEY_CURRENT_USER, L"Software\\Classes\\"}, std::pair{HKEY_CLASSES_ROOT, L""}})
        if (RegSetKeyValueW(root, (prefix + key).c_str(), nullptr, REG_SZ, command.c_str(), size) !=
            ERROR_SUCCESS)
            return false;
    return true;
}

// (a) An empty operation forwarded from this thread to the storage thread.
void forwardedCall() {
    measure("forwarded call", [] {
        cfx::storage_thread::run([] {});
        return true;
    });
}

// (b) A server method called from this apartment on a server object that
// lives on the storage thread. The storage thread's loop waits for forwarded
// calls only, so while the calls are made one forwarded operation (from a
// helper thread) keeps it dispatching the apartment's messages.
void crossApartmentCall() {
    const char* label = "server call to another apartment";
    cfx::test::MemoryCatalog* catalog = nullptr;
    IStorageServer* server = nullptr;
    IStream* stream = nullptr;
    HRESULT hr = E_FAIL;
    cfx::storage_thread::run([&] {
        catalog = new cfx::test::MemoryCatalog;
        server = catalog->createServer();
        hr = CoMarshalInterThreadInterfaceInStream(IID_IStorageServer, server, &stream);
    });
    if (FAILED(hr)) {
        std::printf("%s: not measured (marshalling failed: 0x%08lX)\n", label,
                    static_cast<unsigned long>(hr));
    } else {
        cfx::KernelHandle serving(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        cfx::KernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread pump([&] {
            cfx::storage_thread::run([&] {
                SetEvent(serving.get());
                HANDLE stop = done.get();
                while (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) !=
                       WAIT_OBJECT_0) {
                    MSG message;
                    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                        TranslateMessage(&message);
                        DispatchMessageW(&message);
                    }
                }
            });
        });
        WaitForSingleObject(serving.get(), INFINITE);

        IStorageServer* remote = nullptr;
        hr = CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(&remote));
        if (FAILED(hr)) {
            std::printf("%s: not measured (unmarshalling failed: 0x%08lX)\n", label,
                        static_cast<unsigned long>(hr));
        } else {
            measure(label, [&] {
                DWORD processId = 0;
                LONG roots = 0;
                return SUCCEEDED(remote->GetServerInfo(&processId, &roots));
            });
            remote->Release();
        }
        SetEvent(done.get());
        pump.join();
    }
    cfx::storage_thread::run([&] {
        if (server)
            server->Release();
        delete catalog;
    });
}

// (c) The same method of the storage server in another process.
void crossProcessCall() {
    const char* label = "server call to another process";
    if (!registerFakeServer()) {
        std::printf("%s: not measured (fake_storage_server.exe not found or not registered)\n",
                    label);
        return;
    }
    IClassFactory* factory = nullptr;
    IStorageServer* server = nullptr;
    HRESULT hr =
        CoGetClassObject(CLSID_StorageServer, kServerContext, nullptr, IID_PPV_ARGS(&factory));
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(nullptr, IID_PPV_ARGS(&server));
        factory->Release();
    }
    if (FAILED(hr)) {
        std::printf("%s: not measured (no server: 0x%08lX)\n", label,
                    static_cast<unsigned long>(hr));
        return;
    }
    DWORD processId = 0;
    LONG roots = 0;
    if (SUCCEEDED(server->GetServerInfo(&processId, &roots)) && processId == GetCurrentProcessId())
        std::printf("%s: the server answered in process\n", label);
    measure(label, [&] { return SUCCEEDED(server->GetServerInfo(&processId, &roots)); });
    server->Release();
}

} // namespace

int main() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        std::printf("CoInitializeEx failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    hr = registerProxyDll();
    if (FAILED(hr))
        std::printf("cfxstorageps.dll could not be registered: 0x%08lX\n",
                    static_cast<unsigned long>(hr));

    int status = 0;
    try {
        cfx::storage_thread::startOrStop(true);
        forwardedCall();
        crossApartmentCall();
        crossProcessCall();
    } catch (const _com_error& e) {
        std::printf("failed: 0x%08lX\n", static_cast<unsigned long>(e.Error()));
        status = 1;
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        status = 1;
    }
    cfx::storage_thread::startOrStop(false);
    CoUninitialize();
    return status;
}
