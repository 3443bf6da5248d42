// forward_bench.exe: what it costs a shell thread to have something done on
// the storage thread, next to what a call of the storage server costs across
// processes, directly and forwarded to the storage thread. Prints
// microseconds per call; not a test.
//
// It registers cfxstore.exe (beside the program) in the prefix it runs in.
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/ServerCall.h"
#include "server/StorageThread.h"

#include "BenchClock.h"

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include "cfxstorage.h"

#include <cstdio>
#include <exception>
#include <string>

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

// "cfxstore.exe /RegServer": the server class and the proxy/stub DLL.
bool registerServer() {
    std::wstring command = L"\"" + programFolder() + L"cfxstore.exe\" /RegServer";
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    cfx::KernelHandle thread(process.hThread), running(process.hProcess);
    DWORD code = 1;
    WaitForSingleObject(running.get(), INFINITE);
    GetExitCodeProcess(running.get(), &code);
    return code == 0;
}

// (a) An empty operation forwarded from this thread to the storage thread.
void forwardedCall() {
    measure("forwarded call", [] {
        cfx::server::runOnStorageThread([] {});
        return true;
    });
}

// (b) A server call made on the storage thread for a shell thread, the way
// the library makes every call.
void forwardedServerCall() {
    Microsoft::WRL::ComPtr<IStorageServer> server;
    cfx::server::runOnStorageThread([&] { server = cfx::server::createRoot(); });
    measure("server call forwarded to the storage thread", [&] {
        HRESULT hr = E_FAIL;
        cfx::server::runOnStorageThread([&] {
            DWORD processId = 0;
            LONG roots = 0;
            hr = server->GetServerInfo(&processId, &roots);
        });
        return SUCCEEDED(hr);
    });
    cfx::server::runOnStorageThread([&] { server.Reset(); });
}

// (c) The same method of the storage server in another process.
void crossProcessCall() {
    const char* label = "server call to another process";
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
    if (!registerServer())
        std::printf("cfxstore.exe /RegServer failed\n");

    int status = 0;
    try {
        cfx::server::startOrStopStorageThread(true);
        forwardedCall();
        crossProcessCall();
        forwardedServerCall();
    } catch (const _com_error& e) {
        std::printf("failed: 0x%08lX\n", static_cast<unsigned long>(e.Error()));
        status = 1;
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        status = 1;
    }
    cfx::server::startOrStopStorageThread(false);
    CoUninitialize();
    return status;
}
