// Reaching the storage server: a root object per operation, made in this
// process or on the storage thread and served by cfxstore.exe; the storage
// thread that keeps server objects; the folder pointer each thread gets for a
// kept object; and failures that travel back as _com_error.
#include "server/ServerTestSupport.h"
#include "storeserver/RemoteStorage.h"
#include "support/UiRobot.h"

#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "server/StoragePointer.h"
#include "server/StorageThread.h"

namespace cfx::test {
namespace {

using store::test::ComPtr;
using store::test::ScratchFolder;

constexpr wchar_t kServerNotFound[] =
    L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the "
    L"computer. If the same error will occur again then try to reinstall the program.";

// With the server's class unregistered: a root cannot be made, here or on the
// storage thread, and opening a storage shows the box once.
TEST(UnregisteredServer, CreateRootFailsWithClassNotRegisteredAndOneBox) {
    // A running server would answer for its class, registered or not.
    ASSERT_TRUE(store::test::waitForServerExit());
    ASSERT_EQ(0u, store::test::runServerCommand(L"/UnregServer"));
    EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG, comErrorOf([] { createRoot(); }).hr));
    storage_thread::startOrStop(true);
    EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG,
                     comErrorOf([] { storage_thread::run([] { createRoot(); }); }).hr));
    storage_thread::startOrStop(false);

    HWND owner = CreateWindowExW(0, L"STATIC", L"Shell", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                 nullptr, nullptr, nullptr, nullptr);
    lookAtMessageQueue();
    {
        UiRobot robot;
        robot
            .expect(Box().messageBox().caption(kMessageCaption).text(kServerNotFound)
                        .icon(Icon::Error).buttons({IDOK}).owner(owner))
            .answer(IDOK);
        try {
            createRoot();
            ADD_FAILURE() << "a root without a registered server";
        } catch (...) {
            showServerNotFound(owner, hresult_of_current_exception());
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
        storage_thread::startOrStop(true);
        RaisedComError raised = comErrorOf([] { suiteRoot_ = createRoot().Detach(); });
        EXPECT_TRUE(hrIs(S_OK, raised.hr)) << narrow(raised.description);
    }
    static void TearDownTestSuite() {
        if (suiteRoot_)
            suiteRoot_->Release();
        suiteRoot_ = nullptr;
        storage_thread::startOrStop(false);
    }
    void SetUp() override {
        ASSERT_TRUE(suiteRoot_) << "no server";
        storage_thread::startOrStop(true); // a test may have stopped it
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
        checkServerCall(root->OpenStorage(text(path).get(), &opened), root.Get());
        return opened;
    }

    ScratchFolder scratch_;
    static inline IStorageServer* suiteRoot_ = nullptr;
};

// The kept storage's root: the one that holds "Docs".
bool holdsDocs(IStorageFolder* folder) {
    ComPtr<IStorageItem> docs;
    return folder && SUCCEEDED(folder->GetItemInfo(text(L"Docs").get(), &docs));
}

std::wstring nameOf(IStorageItem* item) {
    Bstr name;
    EXPECT_TRUE(hrIs(S_OK, item->GetName(name.put())));
    return fromBstr(name.get());
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
    storage_thread::run([&] {
        EXPECT_TRUE(storage_thread::isCurrent());
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
        storage_thread::run([&] {
            ComPtr<IStorageServer> root = createRoot();
            ComPtr<IStorageObject> storage;
            there = comErrorOf([&] {
                checkServerCall(root->OpenStorage(text(missing).get(), &storage), root.Get());
            });
            raise(there.hr);
        });
    });
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, there.hr));
    EXPECT_NE(there.description.find(missing), std::wstring::npos) << narrow(there.description);
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, here.hr));

    StoragePointer pointer;
    storage_thread::run([&] { pointer.reset(createAndOpen(L"Described.demo-coffrex").Get()); });
    ComPtr<IStorageFolder> folder = pointer.folderForThisThread(), absent;
    RaisedComError raised = comErrorOf([&] {
        checkServerCall(folder->OpenFolder(text(L"Absent").get(), VARIANT_FALSE, &absent),
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
    storage_thread::run([&] {
        onStorageThread = comErrorOf([&] { pointer.folderForThisThread(); }).hr;
        pointer.reset(createRoot().Get());
    });
    EXPECT_TRUE(hrIs(E_NOINTERFACE, onStorageThread));
    EXPECT_FALSE(pointer.empty());
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).hr));
    storage_thread::run([&] {
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
        storage_thread::run([&] {
            ComPtr<IStorageObject> storage = createAndOpen(path);
            ComPtr<IStorageFolder> root, docs;
            check(storage.As(&root));
            checkServerCall(root->OpenFolder(text(L"Docs").get(), VARIANT_TRUE, &docs), root.Get());
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
    ASSERT_TRUE(hrIs(S_OK, mine->OpenFolder(text(L"Docs").get(), VARIANT_FALSE, &docs)));
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
                checkServerCall(first->OpenFolder(text(L"Other").get(), VARIANT_TRUE, &created),
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
    EXPECT_TRUE(hrIs(S_OK, mine->GetItemInfo(text(L"Other").get(), &info)));
}

TEST_F(StorageServerTest, OwnThreadKeepsItsPointerOthersNeedTheStorageThread) {
    const std::wstring path = L"Stopped.demo-coffrex";
    StoragePointer pointer;
    storage_thread::run([&] { pointer.reset(createAndOpen(path).Get()); });
    ComPtr<IStorageFolder> mine = pointer.folderForThisThread();
    ASSERT_TRUE(mine);
    mine.Reset();

    // Without the storage thread nothing can be unmarshalled any more.
    storage_thread::startOrStop(false);
    EXPECT_EQ(storage_thread::id(), 0u);

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
            } catch (const tools::win_except& e) {
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
        storage_thread::run([&] { pointer.reset(createRoot().Get()); });
        // The pointer holds the only reference.
        EXPECT_EQ(liveRoots(), 2);

        // Keeping another object lets go of the first.
        storage_thread::run([&] {
            ComPtr<IStorageServer> second = createRoot();
            pointer.reset(second.Get());
        });
        EXPECT_EQ(liveRoots(), 2);
        storage_thread::run([&] { pointer.reset(nullptr); });
        EXPECT_EQ(liveRoots(), 1);

        storage_thread::run([&] { pointer.reset(createRoot().Get()); });
        EXPECT_EQ(liveRoots(), 2);
    } // destroyed on this thread: the release is made on the storage thread
    EXPECT_EQ(liveRoots(), 1);
}

} // namespace
} // namespace cfx::test
