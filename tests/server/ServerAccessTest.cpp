// The server access layer: how a failure becomes a message box, and reaching
// cfxstore.exe: a root object per operation, the folder pointer each thread
// gets for a kept object, failures with the server's description.
#include "storeserver/RemoteStorage.h"
#include "support/UiRobot.h"

#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "server/StoragePointer.h"
#include "server/StorageThread.h"

#include <comdef.h>

#include <chrono>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>

namespace cfx::test {
namespace {

using namespace cfx::server;
using namespace std::chrono_literals;
using store::test::bstr;
using store::test::ComPtr;

// The HRESULT and description of the _com_error the action raises; S_OK when
// it raises nothing.
std::pair<HRESULT, std::wstring> comErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const _com_error& e) {
        return {e.Error(), store::test::text(e.Description())};
    }
    return {S_OK, L""};
}

// Runs the action on a new thread, in a single-threaded apartment.
void onNewThread(const std::function<void()>& action) {
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        action();
        CoUninitialize();
    }).join();
}

Box errorBox(const std::wstring& text) {
    return Box().messageBox().caption(kMessageCaption).text(text).icon(Icon::Error).buttons({IDOK});
}

HWND newWindow() {
    return CreateWindowExW(0, L"STATIC", L"Owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                           nullptr, nullptr, nullptr);
}

// Wine counts a thread that has not looked at its queue for five seconds as
// hung, and the robot then reads no texts from its boxes: a test thread about
// to show a box looks at its queue first.
class BoxTest : public testing::Test {
protected:
    void SetUp() override {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
};
using ErrorBox = BoxTest;
using ServerNotFound = BoxTest;

TEST(ErrorText, UnknownCodeIsNamedInUpperCaseHexadecimalKnownOnesByTheSystem) {
    EXPECT_NE(errorText(ERROR_ACCESS_DENIED), errorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errorText(ERROR_ACCESS_DENIED).find(L"Undefined"), std::wstring::npos);
    // Customer-defined codes (bit 29) are no system's; nor is 0xFFFF.
    EXPECT_EQ(errorText(0x2000ABCD), L"Undefined error #2000ABCD");
    EXPECT_EQ(errorText(0x0000FFFF), L"Undefined error #FFFF");
}

// The box names the failed action (or the error in general) and shows the
// code, or the HRESULT of the exception being handled, with the system's text.
TEST_F(ErrorBox, NamesTheFailedActionAndTheError) {
    const HWND owner = newWindow();
    const struct {
        std::function<void()> raise; // or null: showError with the code
        HRESULT code;
        const wchar_t* prefix;
    } cases[] = {
        {nullptr, ERROR_ACCESS_DENIED, nullptr},
        {nullptr, 0x2000001F, L"Unable to defragment"},
        {[] { throw _com_error(E_ACCESSDENIED); }, E_ACCESSDENIED, L"Unable"},
        {[] { throw HRESULT(STG_E_REVERTED); }, STG_E_REVERTED, L"Unable"},
        {[] { throw win_except(ERROR_CANCELLED); }, HRESULT_FROM_WIN32(ERROR_CANCELLED), L"Unable"},
        // A code that is already an HRESULT is shown as it is.
        {[] { throw win_except(NTE_BAD_KEYSET); }, NTE_BAD_KEYSET, L"Unable"},
        {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY, L"Unable"},
        {[] { throw std::runtime_error("elsewhere"); }, E_UNEXPECTED, L"Unable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(static_cast<unsigned long>(c.code)));
        UiRobot robot;
        robot
            .expect(errorBox((c.prefix ? c.prefix : L"An error has occured:") +
                             std::wstring(L"\n\n") + errorText(static_cast<DWORD>(c.code)))
                        .owner(c.raise ? nullptr : owner)
                        .thread(GetCurrentThreadId()))
            .answer(IDOK);
        try {
            c.raise ? c.raise() : showError(owner, static_cast<DWORD>(c.code), c.prefix);
        } catch (...) {
            showCurrentException(nullptr, c.prefix);
        }
        robot.verify();
    }
    DestroyWindow(owner);
}

TEST_F(ErrorBox, OneErrorBoxAtATime) {
    const std::wstring text = errorText(ERROR_ACCESS_DENIED);
    struct Joined : std::thread {
        using std::thread::thread;
        ~Joined() { join(); }
    };
    std::optional<Joined> first, second; // joined after the robot closed any box
    UiRobot robot;
    robot.expect(errorBox(L"First\n\n" + text)).leaveOpen();
    robot.expect(errorBox(L"Second\n\n" + text)).answer(IDOK);
    first.emplace([] { showError(nullptr, ERROR_ACCESS_DENIED, L"First"); });
    std::optional<BoxRecord> firstBox = robot.waitForBox(10s);
    ASSERT_TRUE(firstBox);
    KernelHandle calling(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    second.emplace([&] {
        SetEvent(calling.get());
        showError(nullptr, ERROR_ACCESS_DENIED, L"Second");
    });
    WaitForSingleObject(calling.get(), INFINITE);
    // Without the lock the second box would be there within milliseconds.
    std::optional<BoxRecord> early = robot.waitForBox(1500ms);
    EXPECT_FALSE(early) << "a second box while the first is open: " << early->describe();
    EXPECT_TRUE(robot.press(firstBox->window, IDOK));
    std::optional<BoxRecord> secondBox = early ? early : robot.waitForBox(10s);
    ASSERT_TRUE(secondBox);
    EXPECT_EQ(secondBox->text, L"Second\n\n" + text);
    first.reset(), second.reset();
    robot.verify();
}

// The active window of the calling thread owns the box and is enabled again
// once it is closed; another thread's active window owns nothing there.
TEST_F(ErrorBox, TheCallingThreadsActiveWindowOwnsIt) {
    const HWND window = newWindow();
    ShowWindow(window, SW_SHOW);
    SetActiveWindow(window);
    EXPECT_EQ(ownerWindow(), window);
    {
        UiRobot robot;
        robot
            .expect(errorBox(L"An error has occured:\n\n" + errorText(ERROR_FILE_NOT_FOUND))
                        .owner(window))
            .answer(IDOK);
        showError(ownerWindow(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_TRUE(IsWindowEnabled(window)) << "the owner stayed disabled";
    HWND elsewhere = window;
    onNewThread([&] { elsewhere = ownerWindow(); });
    EXPECT_EQ(elsewhere, nullptr);
    DestroyWindow(window);
}

// Every failure to reach the server shows the one box, except inside an
// input-synchronous call, where no box may be shown.
TEST_F(ServerNotFound, ShowsTheBoxForEveryFailureButInsideAnInputSynchronousCall) {
    const HWND owner = newWindow();
    for (HRESULT hr :
         {REGDB_E_CLASSNOTREG, RPC_E_DISCONNECTED, RPC_E_CANTCALLOUT_ININPUTSYNCCALL}) {
        SCOPED_TRACE(hex(static_cast<unsigned long>(hr)));
        UiRobot robot;
        if (hr != RPC_E_CANTCALLOUT_ININPUTSYNCCALL)
            robot
                .expect(errorBox(L"Unable to open storage. Coffrex RPC server was not found.\n\n"
                                 L"Please restart the computer. If the same error will occur "
                                 L"again then try to reinstall the program.")
                            .owner(owner))
                .answer(IDOK);
        showServerNotFound(owner, hr); // returns once the robot closed its box
        robot.verify();
        EXPECT_EQ(robot.boxes().size(), hr == RPC_E_CANTCALLOUT_ININPUTSYNCCALL ? 0u : 1u);
    }
    DestroyWindow(owner);
}

// A root object held for the suite keeps one server process running (starting
// one costs a second under Wine); each test makes storages of its own.
class StorageServerTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        startOrStopStorageThread(true);
        suiteRoot_ = createRoot().Detach();
    }
    static void TearDownTestSuite() {
        suiteRoot_->Release();
        startOrStopStorageThread(false);
    }
    void SetUp() override { startOrStopStorageThread(true); } // a test may have stopped it

    // Root objects alive in the server now.
    static LONG liveRoots() {
        DWORD process = 0;
        LONG roots = -1;
        EXPECT_TRUE(hrIs(S_OK, suiteRoot_->GetServerInfo(&process, &roots)));
        return roots;
    }

    // On the storage thread: a new storage, opened again as the folder keeps it.
    ComPtr<IStorageObject> createAndOpen(const std::wstring& name) {
        ComPtr<IStorageServer> root = createRoot();
        store::test::createStorage(root.Get(), scratch_.file(name));
        return openStorage(root.Get(), scratch_.file(name));
    }

    store::test::ScratchFolder scratch_;
    static inline IStorageServer* suiteRoot_ = nullptr;
};

// Each operation gets a root of its own from the one server process, released
// at the operation's end; a pointer holds one reference of the object it keeps.
TEST_F(StorageServerTest, RootsAndPointersReleaseTheirServerObjects) {
    DWORD suiteProcess = 0, process = 0;
    LONG roots = 0;
    ASSERT_TRUE(hrIs(S_OK, suiteRoot_->GetServerInfo(&suiteProcess, &roots)));
    EXPECT_NE(suiteProcess, GetCurrentProcessId());
    runOnStorageThread([&] { check(createRoot()->GetServerInfo(&process, &roots)); });
    EXPECT_EQ(process, suiteProcess);
    EXPECT_EQ(roots, 2);
    EXPECT_EQ(liveRoots(), 1);
    {
        StoragePointer pointer;
        for (int kept = 0; kept < 2; ++kept) { // keeping another object lets go of the first
            runOnStorageThread([&] { pointer.reset(createRoot().Get()); });
            EXPECT_EQ(liveRoots(), 2);
        }
        runOnStorageThread([&] { pointer.reset(nullptr); });
        EXPECT_EQ(liveRoots(), 1);
        runOnStorageThread([&] { pointer.reset(createRoot().Get()); });
    } // destroyed on this thread: the release is made on the storage thread
    EXPECT_EQ(liveRoots(), 1);
}

// Nothing kept, or a kept object that is no folder: E_NOINTERFACE. A failed
// call through a folder pointer raises _com_error with the server's description.
TEST_F(StorageServerTest, FailedServerCallsCarryTheServersDescription) {
    StoragePointer pointer;
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).first));
    runOnStorageThread([&] { pointer.reset(createRoot().Get()); });
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).first));
    runOnStorageThread([&] { pointer.reset(createAndOpen(L"Described.demo-coffrex").Get()); });
    ComPtr<IStorageFolder> folder = pointer.folderForThisThread(), absent;
    auto raised = comErrorOf([&] {
        checkServerCall(folder->OpenFolder(bstr(L"Absent").get(), VARIANT_FALSE, &absent),
                        folder.Get());
    });
    EXPECT_TRUE(hrIs(STG_E_PATHNOTFOUND, raised.first));
    EXPECT_NE(raised.second.find(L"Absent"), std::wstring::npos) << narrow(raised.second);
}

// The storage thread uses the kept object itself; the folder's own thread
// keeps one unmarshalled pointer (until another object is kept), and works
// on when the storage thread has stopped; any other thread unmarshals anew
// each time, which needs the storage thread.
TEST_F(StorageServerTest, EachThreadGetsAFolderItCanUse) {
    StoragePointer pointer; // this thread is the folder's own
    ComPtr<IStorageFolder> mine, made;
    const void* stored = nullptr;
    runOnStorageThread([&] {
        pointer.reset(createAndOpen(L"Kept.demo-coffrex").Get());
        check(pointer.onStorageThread()->QueryInterface(IID_PPV_ARGS(&made)));
        EXPECT_EQ(pointer.folderForThisThread().Get(), made.Get());
        stored = made.Get();
        made = nullptr;
    });
    mine = pointer.folderForThisThread();
    EXPECT_NE(mine.Get(), stored);
    EXPECT_EQ(pointer.folderForThisThread().Get(), mine.Get());
    onNewThread([&] {
        ComPtr<IStorageFolder> first = pointer.folderForThisThread();
        EXPECT_NE(first.Get(), mine.Get());
        check(first->OpenFolder(bstr(L"Other").get(), VARIANT_TRUE, &made));
        first = made = nullptr;
        EXPECT_TRUE(hrIs(S_OK, pointer.folderForThisThread()->OpenFolder(bstr(L"Other").get(),
                                                                         VARIANT_FALSE, &made)));
        made = nullptr;
    });
    EXPECT_TRUE(hrIs(S_OK, mine->OpenFolder(bstr(L"Other").get(), VARIANT_FALSE, &made)))
        << "what the other thread made is not there for this one";

    // Another object kept: the folder's own thread gets it, not the old proxy.
    runOnStorageThread([&] { pointer.reset(createAndOpen(L"Next.demo-coffrex").Get()); });
    mine = pointer.folderForThisThread();
    EXPECT_TRUE(FAILED(mine->OpenFolder(bstr(L"Other").get(), VARIANT_FALSE, &made)));

    // Without the storage thread nothing can be unmarshalled any more.
    startOrStopStorageThread(false);
    EXPECT_EQ(pointer.folderForThisThread().Get(), mine.Get());
    DWORD code = 0;
    onNewThread([&] {
        try {
            pointer.folderForThisThread();
        } catch (const win_except& e) {
            code = e.code();
        }
    });
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    mine = made = nullptr;
    startOrStopStorageThread(true);
    runOnStorageThread([&] { pointer.reset(nullptr); });
}

} // namespace
} // namespace cfx::test
