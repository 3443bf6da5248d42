// cfxstore.exe, the storage server: a COM local server for the storage
// server's class. COM starts it with "-Embedding" when a client first asks
// for the class; it serves every client process from one single-threaded
// apartment, and exits a few seconds after its last object is released (or
// when nobody connects at all). "/RegServer" and "/UnregServer" register and
// remove it for the current user.
#include "ServerFactory.h"
#include "ServerRegistration.h"

#include "cfxstorage.h"
#include "common/ComObjectBase.h"
#include "common/ErrorObjectHook.h"

#include <objbase.h>
#include <shellapi.h>

#include <string>

namespace {

using namespace cfx::storeserver;

// How long the server stays after its last client, so that a client that
// makes one root object per operation does not start a new process each time.
constexpr UINT kLingerMs = 3000;
// A server that nobody connects to does not linger either.
constexpr UINT kNoClientMs = 30000;

enum class Command { Serve, Register, Unregister };

Command commandOf(LPWSTR commandLine) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    Command command = Command::Serve;
    for (int i = 1; args && i < count; ++i) {
        const wchar_t* arg = args[i];
        if (*arg == L'/' || *arg == L'-')
            ++arg;
        if (lstrcmpiW(arg, L"RegServer") == 0)
            command = Command::Register;
        else if (lstrcmpiW(arg, L"UnregServer") == 0)
            command = Command::Unregister;
    }
    LocalFree(args);
    return command;
}

int serve() {
    cfx::countObjectsIn(&serverLockCount());
    cfx::carryErrorObjectsUnderWine();
    auto* factory = new ServerFactory;
    // The factory's unit (and the error hook's) of the lock count; anything
    // above it is a client's.
    const LONG idle = serverLockCount();
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_StorageServer, static_cast<IClassFactory*>(factory),
                                       CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr)) {
        // Calls into a single-threaded apartment arrive as window messages, so
        // the last release is seen right after the message that carried it.
        // While no client holds an object, a timer runs: the wait for the
        // first client, then the linger after the last one.
        UINT_PTR timer = SetTimer(nullptr, 0, kNoClientMs, nullptr);
        bool waiting = true;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_TIMER && !msg.hwnd && msg.wParam == timer)
                break;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            const bool noClient = serverLockCount() <= idle;
            if (noClient != waiting) {
                waiting = noClient;
                KillTimer(nullptr, timer);
                timer = waiting ? SetTimer(nullptr, 0, kLingerMs, nullptr) : 0;
            }
        }
        CoRevokeClassObject(cookie);
    }
    factory->Release();
    return SUCCEEDED(hr) ? 0 : 2;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    int result = 0;
    switch (commandOf(GetCommandLineW())) {
    case Command::Register:
        result = SUCCEEDED(registerServer()) ? 0 : 1;
        break;
    case Command::Unregister:
        result = SUCCEEDED(unregisterServer()) ? 0 : 1;
        break;
    case Command::Serve:
        result = serve();
        break;
    }
    CoUninitialize();
    return result;
}
