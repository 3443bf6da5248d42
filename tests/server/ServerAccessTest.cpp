// The server access layer: how a failure becomes a message box (the error
// text, the error box and its owner, one box at a time, the box for a server
// that cannot be reached), and reaching cfxstore.exe: a root object per
// operation, made here or on the storage thread; the folder pointer each
// thread gets for a kept object; failures that travel back as _com_error.
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
using store::test::bstr;
using store::test::ComPtr;
using store::test::ScratchFolder;
using store::test::text;

constexpr wchar_t kServerNotFound[] =
    L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the "
    L"computer. If the same error will occur again then try to reinstall the program.";

// The HRESULT and description of the _com_error the action raises; S_OK when
// it raises nothing. Anything else it raises fails the test.
struct RaisedComError {
    HRESULT hr = S_OK;
    std::wstring description;
};
RaisedComError comErrorOf(const std::function<void()>& action) {
    RaisedComError raised;
    try {
        action();
    } catch (const _com_error& e) {
        raised = {e.Error(), text(e.Description())};
    } catch (const std::exception& e) {
        ADD_FAILURE() << "a standard exception instead of _com_error: " << e.what();
        raised.hr = E_UNEXPECTED;
    }
    return raised;
}

// Wine counts a thread that has not looked at its queue for five seconds as
// hung, and the robot then reads no texts from its boxes: a test thread about
// to show a box looks at its queue first.
void lookAtMessageQueue() {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
}

// Runs the action on a new thread, in a single-threaded apartment if asked.
void onNewThread(const std::function<void()>& action, bool apartment = false) {
    std::thread thread([&] {
        HRESULT initialized =
            apartment ? CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) : S_FALSE;
        action();
        if (apartment && SUCCEEDED(initialized))
            CoUninitialize();
    });
    thread.join();
}

using namespace std::chrono_literals;

constexpr wchar_t kNoPrefix[] = L"An error has occured:\n\n";

// The error box: caption, icon and one OK button are always the same.
Box errorBox(const std::wstring& text) {
    return Box().messageBox().caption(kMessageCaption).text(text).icon(Icon::Error).buttons({IDOK});
}

// A top-level window of the calling thread to own boxes.
class TestWindow {
public:
    explicit TestWindow(bool visible = false)
        : window_(CreateWindowExW(0, L"STATIC", L"Owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                  nullptr, nullptr, nullptr, nullptr)) {
        if (visible && window_)
            ShowWindow(window_, SW_SHOW);
    }
    ~TestWindow() {
        if (window_)
            DestroyWindow(window_);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND get() const { return window_; }

private:
    HWND window_;
};

// A thread that is joined when it goes out of scope.
struct JoinedThread {
    std::thread thread;
    ~JoinedThread() {
        if (thread.joinable())
            thread.join();
    }
};

// Tests that show boxes on this thread.
class BoxTest : public testing::Test {
protected:
    void SetUp() override { lookAtMessageQueue(); }
};
using ErrorBox = BoxTest;
using ServerNotFound = BoxTest;

// --- Error text ---

TEST(ErrorText, UnknownCodeIsNamedInUpperCaseHexadecimalKnownOnesByTheSystem) {
    EXPECT_NE(errorText(ERROR_ACCESS_DENIED), errorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errorText(ERROR_ACCESS_DENIED).find(L"Undefined"), std::wstring::npos);
    // Customer-defined codes (bit 29) are no system's; nor is 0xFFFF.
    const struct {
        DWORD code;
        const wchar_t* text;
    } cases[] = {
        {0x2000001F, L"Undefined error #2000001F"},
        {0x2000ABCD, L"Undefined error #2000ABCD"}, // upper case
        {0x0000FFFF, L"Undefined error #FFFF"},     // no leading zeros, no prefix
        {0xE00BEEF1, L"Undefined error #E00BEEF1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.code));
        EXPECT_EQ(errorText(c.code), c.text);
    }
}

// --- The error box ---

TEST_F(ErrorBox, NamesTheFailedActionOrTheErrorInGeneral) {
    TestWindow owner;
    ASSERT_TRUE(owner.get());
    const struct {
        HWND owner;
        DWORD code;
        const wchar_t* prefix;
        std::wstring text;
    } cases[] = {
        {owner.get(), ERROR_ACCESS_DENIED, nullptr, kNoPrefix + errorText(ERROR_ACCESS_DENIED)},
        {owner.get(), ERROR_ACCESS_DENIED, L"Unable to freeze the storage.",
         L"Unable to freeze the storage.\n\n" + errorText(ERROR_ACCESS_DENIED)},
        {nullptr, 0x2000001F, L"Unable to defragment storage",
         L"Unable to defragment storage\n\nUndefined error #2000001F"},
    };
    for (const auto& c : cases) {
        UiRobot robot;
        robot.expect(errorBox(c.text).owner(c.owner).thread(GetCurrentThreadId())).answer(IDOK);
        showError(c.owner, c.code, c.prefix);
        robot.verify();
    }
}

struct RaisedCase {
    const char* name;
    std::function<void()> raise;
    HRESULT shown;
};

TEST_F(ErrorBox, CurrentExceptionShowsItsHresult) {
    const RaisedCase cases[] = {
        {"_com_error", [] { throw _com_error(E_ACCESSDENIED); }, E_ACCESSDENIED},
        {"HRESULT", [] { throw HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION); },
         HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
        {"win_except", [] { throw cfx::win_except(ERROR_CANCELLED); },
         HRESULT_FROM_WIN32(ERROR_CANCELLED)},
        // A code that is already an HRESULT is shown as it is.
        {"win_except with an HRESULT", [] { throw cfx::win_except(NTE_BAD_KEYSET); },
         NTE_BAD_KEYSET},
        {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"runtime_error", [] { throw std::runtime_error("elsewhere"); }, E_UNEXPECTED},
        {"int", [] { throw 42; }, E_UNEXPECTED},
    };
    const wchar_t prefix[] = L"Unable to complete operation";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UiRobot robot;
        robot
            .expect(
                errorBox(std::wstring(prefix) + L"\n\n" + errorText(static_cast<DWORD>(c.shown))))
            .answer(IDOK);
        try {
            c.raise();
            ADD_FAILURE() << "nothing was raised";
        } catch (...) {
            showCurrentException(nullptr, prefix);
        }
        robot.verify();
    }
}

TEST_F(ErrorBox, OneErrorBoxAtATime) {
    const std::wstring text = errorText(ERROR_ACCESS_DENIED);
    // Declared before the robot, so that they are joined after it has closed
    // any box left open.
    JoinedThread first, second;
    UiRobot robot;
    robot.expect(errorBox(L"First\n\n" + text)).leaveOpen();
    robot.expect(errorBox(L"Second\n\n" + text)).answer(IDOK);

    first.thread = std::thread([] { showError(nullptr, ERROR_ACCESS_DENIED, L"First"); });
    std::optional<BoxRecord> firstBox = robot.waitForBox(10s);
    ASSERT_TRUE(firstBox);
    ASSERT_EQ(firstBox->text, L"First\n\n" + text);

    KernelHandle calling(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    second.thread = std::thread([&] {
        SetEvent(calling.get());
        showError(nullptr, ERROR_ACCESS_DENIED, L"Second");
    });
    WaitForSingleObject(calling.get(), INFINITE);
    // The second thread waits for the lock as long as the first box is open;
    // without the lock its box would be there within milliseconds.
    std::optional<BoxRecord> early = robot.waitForBox(1500ms);
    EXPECT_FALSE(early) << "a second box while the first is open: " << early->describe();

    EXPECT_TRUE(robot.press(firstBox->window, IDOK));
    std::optional<BoxRecord> secondBox = early ? early : robot.waitForBox(10s);
    ASSERT_TRUE(secondBox);
    EXPECT_EQ(secondBox->text, L"Second\n\n" + text);
    first.thread.join();
    second.thread.join();
    robot.verify();
}

// --- The owner window ---

TEST(OwnerWindow, TheActiveWindowOfTheCallingThreadOnly) {
    TestWindow first(true), second(true);
    ASSERT_TRUE(first.get() && second.get());
    SetActiveWindow(first.get());
    EXPECT_EQ(ownerWindow(), first.get());
    SetActiveWindow(second.get());
    EXPECT_EQ(ownerWindow(), second.get());
    // It owns the error box, and is enabled again once the box is closed.
    lookAtMessageQueue();
    {
        UiRobot robot;
        robot.expect(errorBox(kNoPrefix + errorText(ERROR_FILE_NOT_FOUND)).owner(second.get()))
            .answer(IDOK);
        showError(ownerWindow(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_TRUE(IsWindowEnabled(second.get())) << "the owner stayed disabled";
    // Another thread's active window owns nothing there; a hidden window is not activated.
    HWND elsewhere = reinterpret_cast<HWND>(1), hiddenOwner = reinterpret_cast<HWND>(1);
    onNewThread([&] { elsewhere = ownerWindow(); });
    onNewThread([&] {
        TestWindow hidden;
        hiddenOwner = ownerWindow();
    });
    EXPECT_EQ(elsewhere, nullptr);
    EXPECT_EQ(hiddenOwner, nullptr);
}

// --- The storage server cannot be reached ---

TEST_F(ServerNotFound, ShowsTheBoxForEveryFailure) {
    TestWindow owner;
    ASSERT_TRUE(owner.get());
    for (HRESULT hr : {REGDB_E_CLASSNOTREG, CO_E_SERVER_EXEC_FAILURE, RPC_E_DISCONNECTED,
                       HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), E_FAIL}) {
        SCOPED_TRACE(hex(static_cast<unsigned long>(hr)));
        UiRobot robot;
        robot.expect(errorBox(kServerNotFound).owner(owner.get())).answer(IDOK);
        showServerNotFound(owner.get(), hr);
        robot.verify();
    }
}

TEST_F(ServerNotFound, SilentInsideAnInputSynchronousCall) {
    UiRobot robot;
    // The call returns only once a box it showed is closed, and the robot
    // closes only boxes it has seen.
    showServerNotFound(nullptr, RPC_E_CANTCALLOUT_ININPUTSYNCCALL);
    EXPECT_TRUE(robot.boxes().empty());
    robot.verify();
}

// With the server's class unregistered: a root cannot be made, here or on the
// storage thread, and opening a storage shows the box once.
TEST(UnregisteredServer, CreateRootFailsWithClassNotRegisteredAndOneBox) {
    // A running server would answer for its class, registered or not.
    ASSERT_TRUE(store::test::waitForServerExit());
    ASSERT_EQ(0u, store::test::runServerCommand(L"/UnregServer"));
    EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG, comErrorOf([] { createRoot(); }).hr));
    server::startOrStopStorageThread(true);
    EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG,
                     comErrorOf([] { server::runOnStorageThread([] { createRoot(); }); }).hr));
    server::startOrStopStorageThread(false);

    HWND owner = CreateWindowExW(0, L"STATIC", L"Shell", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                 nullptr, nullptr, nullptr, nullptr);
    lookAtMessageQueue();
    {
        UiRobot robot;
        robot.expect(errorBox(kServerNotFound).owner(owner)).answer(IDOK);
        try {
            createRoot();
            ADD_FAILURE() << "a root without a registered server";
        } catch (...) {
            showServerNotFound(owner, hresultOfCurrentException());
        }
        robot.verify();
        EXPECT_EQ(robot.boxes().size(), 1u);
    }
    DestroyWindow(owner);
    ASSERT_EQ(0u, store::test::runServerCommand(L"/RegServer"));
}

// A root object held for the suite keeps one server process running (starting
// one costs a second under Wine); each test makes storages of its own.
class StorageServerTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server::startOrStopStorageThread(true);
        RaisedComError raised = comErrorOf([] { suiteRoot_ = createRoot().Detach(); });
        EXPECT_TRUE(hrIs(S_OK, raised.hr)) << narrow(raised.description);
    }
    static void TearDownTestSuite() {
        if (suiteRoot_)
            suiteRoot_->Release();
        suiteRoot_ = nullptr;
        server::startOrStopStorageThread(false);
    }
    void SetUp() override {
        ASSERT_TRUE(suiteRoot_) << "no server";
        server::startOrStopStorageThread(true); // a test may have stopped it
    }

    // Root objects alive in the server now.
    static LONG liveRoots() {
        DWORD process = 0;
        LONG roots = -1;
        EXPECT_TRUE(hrIs(S_OK, suiteRoot_->GetServerInfo(&process, &roots)));
        return roots;
    }

    // On the storage thread: a new storage, opened again as the folder keeps it.
    ComPtr<IStorageObject> createAndOpen(const std::wstring& name) {
        const std::wstring path = scratch_.file(name);
        ComPtr<IStorageServer> root = createRoot();
        store::test::createStorage(root.Get(), path);
        ComPtr<IStorageObject> opened;
        checkServerCall(root->OpenStorage(bstr(path).get(), &opened), root.Get());
        return opened;
    }

    ScratchFolder scratch_;
    static inline IStorageServer* suiteRoot_ = nullptr;
};

// The kept storage's root: the one that holds "Docs".
bool holdsDocs(IStorageFolder* folder) {
    ComPtr<IStorageItem> docs;
    return folder && SUCCEEDED(folder->GetItemInfo(bstr(L"Docs").get(), &docs));
}

std::wstring nameOf(IStorageItem* item) {
    Bstr name;
    EXPECT_TRUE(hrIs(S_OK, item->GetName(name.put())));
    return text(name.get());
}

TEST_F(StorageServerTest, EachOperationGetsARootOfItsOwnFromTheOneServerProcess) {
    DWORD suiteProcess = 0;
    LONG roots = 0;
    ASSERT_TRUE(hrIs(S_OK, suiteRoot_->GetServerInfo(&suiteProcess, &roots)));
    EXPECT_NE(suiteProcess, GetCurrentProcessId());
    ComPtr<IStorageServer> root = createRoot();
    DWORD process = 0;
    ASSERT_TRUE(hrIs(S_OK, root->GetServerInfo(&process, &roots)));
    EXPECT_EQ(process, suiteProcess);
    EXPECT_EQ(roots, 2);
    ComPtr<IStorageServer> another = createRoot();
    EXPECT_NE(another.Get(), root.Get());
    EXPECT_EQ(liveRoots(), 3);
    another.Reset();
    root.Reset();
    EXPECT_EQ(liveRoots(), 1);

    // On the storage thread: released there at the operation's end.
    server::runOnStorageThread([&] {
        EXPECT_TRUE(server::isStorageThread());
        EXPECT_TRUE(hrIs(S_OK, createRoot()->GetServerInfo(&process, &roots)));
    });
    EXPECT_EQ(process, suiteProcess);
    EXPECT_EQ(roots, 2);
    EXPECT_EQ(liveRoots(), 1);
}

// A failed call raises _com_error with the server's description, on the
// storage thread and through a folder pointer; it crosses back as its HRESULT.
TEST_F(StorageServerTest, FailedServerCallsCarryTheServersDescription) {
    const std::wstring missing = scratch_.file(L"Missing.demo-coffrex");
    RaisedComError there;
    RaisedComError here = comErrorOf([&] {
        server::runOnStorageThread([&] {
            ComPtr<IStorageServer> root = createRoot();
            ComPtr<IStorageObject> storage;
            there = comErrorOf([&] {
                checkServerCall(root->OpenStorage(bstr(missing).get(), &storage), root.Get());
            });
            raise(there.hr);
        });
    });
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, there.hr));
    EXPECT_NE(there.description.find(missing), std::wstring::npos) << narrow(there.description);
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, here.hr));

    StoragePointer pointer;
    server::runOnStorageThread(
        [&] { pointer.reset(createAndOpen(L"Described.demo-coffrex").Get()); });
    ComPtr<IStorageFolder> folder = pointer.folderForThisThread(), absent;
    RaisedComError raised = comErrorOf([&] {
        checkServerCall(folder->OpenFolder(bstr(L"Absent").get(), VARIANT_FALSE, &absent),
                        folder.Get());
    });
    EXPECT_TRUE(hrIs(STG_E_PATHNOTFOUND, raised.hr));
    EXPECT_NE(raised.description.find(L"Absent"), std::wstring::npos) << narrow(raised.description);
}

// Nothing kept, or a kept object that is no folder: E_NOINTERFACE everywhere.
TEST_F(StorageServerTest, APointerWithoutAFolderRaisesNoInterface) {
    StoragePointer pointer;
    EXPECT_TRUE(pointer.empty());
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).hr));
    HRESULT onStorageThread = S_OK;
    server::runOnStorageThread([&] {
        onStorageThread = comErrorOf([&] { pointer.folderForThisThread(); }).hr;
        pointer.reset(createRoot().Get());
    });
    EXPECT_TRUE(hrIs(E_NOINTERFACE, onStorageThread));
    EXPECT_FALSE(pointer.empty());
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).hr));
    server::runOnStorageThread([&] {
        onStorageThread = comErrorOf([&] { pointer.folderForThisThread(); }).hr;
        pointer.reset(nullptr);
    });
    EXPECT_TRUE(hrIs(E_NOINTERFACE, onStorageThread));
    EXPECT_TRUE(pointer.empty());
}

TEST_F(StorageServerTest, EachThreadGetsAFolderItCanUse) {
    const std::wstring path = L"Kept.demo-coffrex";
    StoragePointer pointer; // this thread is the folder's own
    const void* storageThreadFolder = nullptr;
    bool sameAsStored = false, sameAgain = false;
    RaisedComError setup = comErrorOf([&] {
        server::runOnStorageThread([&] {
            ComPtr<IStorageObject> storage = createAndOpen(path);
            ComPtr<IStorageFolder> root, docs;
            check(storage.As(&root));
            checkServerCall(root->OpenFolder(bstr(L"Docs").get(), VARIANT_TRUE, &docs), root.Get());
            pointer.reset(storage.Get());

            ComPtr<IStorageFolder> first = pointer.folderForThisThread();
            ComPtr<IStorageFolder> second = pointer.folderForThisThread();
            sameAsStored = first.Get() == root.Get();
            sameAgain = second.Get() == root.Get();
            storageThreadFolder = first.Get();
        });
    });
    ASSERT_TRUE(hrIs(S_OK, setup.hr)) << narrow(setup.description);
    // On the storage thread: the stored object itself.
    EXPECT_TRUE(sameAsStored);
    EXPECT_TRUE(sameAgain);

    // On the folder's own thread: one pointer unmarshalled for it and kept.
    ComPtr<IStorageFolder> mine = pointer.folderForThisThread();
    ASSERT_TRUE(mine);
    EXPECT_NE(static_cast<const void*>(mine.Get()), storageThreadFolder);
    EXPECT_EQ(pointer.folderForThisThread().Get(), mine.Get());
    EXPECT_TRUE(holdsDocs(mine.Get()));
    ComPtr<IStorageFolder> docs;
    ASSERT_TRUE(hrIs(S_OK, mine->OpenFolder(bstr(L"Docs").get(), VARIANT_FALSE, &docs)));
    ASSERT_TRUE(docs);
    EXPECT_EQ(nameOf(docs.Get()), L"Docs");
    const void* mineAddress = mine.Get();
    mine.Reset();
    docs.Reset();
    // The kept pointer outlives the caller's references.
    mine = pointer.folderForThisThread();
    EXPECT_EQ(static_cast<const void*>(mine.Get()), mineAddress);
    EXPECT_TRUE(holdsDocs(mine.Get()));

    // On any other thread: a pointer of that thread's own for each call.
    std::wstring firstName;
    bool secondHoldsDocs = false, againHoldsDocs = false;
    const void* otherFolder = nullptr;
    RaisedComError other;
    onNewThread(
        [&] {
            other = comErrorOf([&] {
                ComPtr<IStorageFolder> first = pointer.folderForThisThread();
                ComPtr<IStorageFolder> created;
                checkServerCall(first->OpenFolder(bstr(L"Other").get(), VARIANT_TRUE, &created),
                                first.Get());
                firstName = nameOf(created.Get());
                otherFolder = first.Get();
                ComPtr<IStorageFolder> second = pointer.folderForThisThread();
                secondHoldsDocs = holdsDocs(second.Get());
                first.Reset();
                second.Reset();
                // Nothing was kept for this thread: every call unmarshals anew.
                againHoldsDocs = holdsDocs(pointer.folderForThisThread().Get());
            });
        },
        true);
    ASSERT_TRUE(hrIs(S_OK, other.hr)) << narrow(other.description);
    EXPECT_EQ(firstName, L"Other");
    EXPECT_TRUE(secondHoldsDocs);
    EXPECT_TRUE(againHoldsDocs);
    EXPECT_NE(otherFolder, static_cast<const void*>(mine.Get()));
    EXPECT_NE(otherFolder, storageThreadFolder);

    // What the other thread made is there for this one.
    ComPtr<IStorageItem> info;
    EXPECT_TRUE(hrIs(S_OK, mine->GetItemInfo(bstr(L"Other").get(), &info)));
}

TEST_F(StorageServerTest, OwnThreadKeepsItsPointerOthersNeedTheStorageThread) {
    const std::wstring path = L"Stopped.demo-coffrex";
    StoragePointer pointer;
    server::runOnStorageThread([&] { pointer.reset(createAndOpen(path).Get()); });
    ComPtr<IStorageFolder> mine = pointer.folderForThisThread();
    ASSERT_TRUE(mine);
    mine.Reset();

    // Without the storage thread nothing can be unmarshalled any more.
    server::startOrStopStorageThread(false);
    EXPECT_EQ(server::storageThreadId(), 0u);

    // The folder's own thread still has the pointer it was given...
    RaisedComError own = comErrorOf([&] { mine = pointer.folderForThisThread(); });
    ASSERT_TRUE(hrIs(S_OK, own.hr)) << narrow(own.description);
    ASSERT_TRUE(mine);
    EXPECT_EQ(nameOf(mine.Get()), L"") << "not the storage's root";

    // ...while another thread's call needs the storage thread, every time.
    DWORD code = 0;
    bool raisedWinExcept = false;
    onNewThread(
        [&] {
            try {
                pointer.folderForThisThread();
            } catch (const cfx::win_except& e) {
                raisedWinExcept = true;
                code = e.code();
            } catch (...) {
            }
        },
        true);
    EXPECT_TRUE(raisedWinExcept);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    mine.Reset();
}

TEST_F(StorageServerTest, ReleasingThePointerReleasesTheServerObject) {
    ASSERT_EQ(liveRoots(), 1);
    {
        StoragePointer pointer;
        server::runOnStorageThread([&] { pointer.reset(createRoot().Get()); });
        // The pointer holds the only reference.
        EXPECT_EQ(liveRoots(), 2);

        // Keeping another object lets go of the first.
        server::runOnStorageThread([&] {
            ComPtr<IStorageServer> second = createRoot();
            pointer.reset(second.Get());
        });
        EXPECT_EQ(liveRoots(), 2);
        server::runOnStorageThread([&] { pointer.reset(nullptr); });
        EXPECT_EQ(liveRoots(), 1);

        server::runOnStorageThread([&] { pointer.reset(createRoot().Get()); });
        EXPECT_EQ(liveRoots(), 2);
    } // destroyed on this thread: the release is made on the storage thread
    EXPECT_EQ(liveRoots(), 1);
}

} // namespace
} // namespace cfx::test
