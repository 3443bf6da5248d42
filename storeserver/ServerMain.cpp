// cfxstore.exe, the storage server: a COM local server for the storage
// server's class. COM starts it with "-Embedding" when a client first asks
// for the class; it serves every client process from one single-threaded
// apartment, and exits a few seconds after its last object is released (or
// when nobody connects at all). "/RegServer" and "/UnregServer" register and
// remove it for the current user.
//
// Leaving races with clients that are on their way in. The server first
// closes its storage files (so that a new server can open them), then
// suspends and revokes its class, so that COM starts a new server for any
// later activation, and answers what still arrives for a short while: a client
// that gets an object then keeps this server, which registers its class again.
//
// What Wine 8 does there (found by experiment and in its source): a suspended
// registration (REGCLS_SUSPENDED, CoSuspendClassObjects) stays live, and
// CoReleaseServerProcess only counts, so the revocation is what counts. An
// activation that fetched the class before the revocation still reaches the
// process: while the apartment runs, its request for the class object fails
// with E_FAIL; once the process is gone, with RPC_S_CALL_FAILED; after
// CoUninitialize, with RPC_S_UNKNOWN_IF. Wine's client tries none of them
// again (the library's activation does: common/Activation.h). Under Wine
// the server also ends without CoUninitialize: its teardown unregisters every
// interface in the racy way InterfacePins.h tells of, right after the last
// calls were answered, and a server stuck there would never end.
#include "InterfacePins.h"
#include "OpenStorages.h"
#include "ServerFactory.h"
#include "ServerRegistration.h"

#include "cfxstorage.h"
#include "common/ComObjectBase.h"
#include "common/ErrorObjectHook.h"
#include "common/Handles.h"

#include <objbase.h>
#include <shellapi.h>

#include <string>

namespace {

using namespace cfx::storeserver;

// How long the server stays after its last client, so that a client that
// makes one root object per operation does not start a new process each time.
constexpr ULONGLONG kLingerMs = 3000;
// A server that nobody connects to does not linger either.
constexpr ULONGLONG kNoClientMs = 30000;
// The count is looked at on this tick too: Wine sometimes lets a stub go
// outside any call, with no message to follow.
constexpr UINT kTickMs = 250;
// After revoking its class the server still answers this long: an activation
// that found the class just before reaches the process well within it.
constexpr ULONGLONG kRevokedAnswerMs = 500;

enum class Command { Serve, Register, Unregister };

Command commandOf(LPWSTR commandLine) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    cfx::LocalMemory held(args);
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
    return command;
}

// The class object's registration with COM.
class ClassRegistration {
public:
    explicit ClassRegistration(IClassFactory* factory) noexcept : factory_(factory) {}
    ~ClassRegistration() { revoke(); }
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

    // Registered suspended and resumed once registered, as COM asks of a local server.
    HRESULT publish() noexcept {
        HRESULT hr = CoRegisterClassObject(CLSID_StorageServer, factory_, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie_);
        return SUCCEEDED(hr) ? CoResumeClassObjects() : hr;
    }

    void revoke() noexcept {
        if (!cookie_)
            return;
        CoSuspendClassObjects();
        CoRevokeClassObject(cookie_);
        cookie_ = 0;
    }

private:
    IClassFactory* factory_;
    DWORD cookie_ = 0;
};

void dispatch(MSG& msg) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

// Calls into a single-threaded apartment arrive as window messages: serves
// them until no client has held an object for waitMs.
void serveUntilIdle(LONG idle, ULONGLONG waitMs) {
    const UINT_PTR tick = SetTimer(nullptr, 0, kTickMs, nullptr);
    ULONGLONG idleSince = GetTickCount64();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        dispatch(msg);
        const ULONGLONG now = GetTickCount64();
        if (serverLockCount() > idle) {
            idleSince = 0;
            waitMs = kLingerMs;
        } else if (!idleSince) {
            idleSince = now;
        } else if (now - idleSince >= waitMs) {
            break;
        }
    }
    KillTimer(nullptr, tick);
}

// Answers whatever arrives for a while.
void answerFor(ULONGLONG ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            dispatch(msg);
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

int serve() {
    cfx::countObjectsIn(&serverLockCount());
    cfx::carryErrorObjectsUnderWine();
    auto* factory = new ServerFactory;
    pinServedInterfacesUnderWine(factory);
    // The factory's unit (and the error hook's and the pins') of the lock
    // count; anything above it is a client's.
    const LONG idle = serverLockCount();
    ClassRegistration registration(factory);
    HRESULT hr = registration.publish();
    for (ULONGLONG waitMs = kNoClientMs; SUCCEEDED(hr); waitMs = kLingerMs) {
        serveUntilIdle(idle, waitMs);
        OpenStorages::instance().closeAll();
        registration.revoke();
        answerFor(kRevokedAnswerMs);
        if (serverLockCount() <= idle)
            break;
        // A client got in with the class object it had fetched before: serve on
        // (unregistered if that fails, until it leaves).
        registration.publish();
    }
    // A client that came and went just now may have opened a storage again.
    OpenStorages::instance().closeAll();
    registration.revoke();
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
        if (cfx::runningUnderWine())
            ExitProcess(static_cast<UINT>(result)); // see the top of this file
        break;
    }
    CoUninitialize();
    return result;
}
