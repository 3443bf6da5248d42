// Reaching the storage server: a root object per operation, made in this
// process or on the storage thread and served by fake_storage_server.exe; the
// storage thread that keeps server objects; the folder pointer each thread
// gets for a kept object; and failures that travel back as _com_error.
#include "server/ServerTestSupport.h"

#include "support/FakeStorageServer.h"
#include "support/MemoryStorage.h"
#include "support/TestCertificate.h"
#include "support/UiRobot.h"

#include "common/Exceptions.h"
#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "server/StoragePointer.h"
#include "server/StorageThread.h"

#include <windows.h>
#include <comdef.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>

using Microsoft::WRL::ComPtr;

namespace cfx::test {
namespace {

constexpr wchar_t kServerNotFound[] =
    L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the "
    L"computer. If the same error will occur again then try to reinstall the program.";

// How opening a storage reports a server it cannot reach: the box once, then
// the failure's HRESULT back to the caller.
HRESULT obtainRoot(HWND owner, ComPtr<IStorageServer>& root) {
    try {
        root = createRoot();
        return S_OK;
    } catch (...) {
        HRESULT hr = hresultOfCurrentException();
        showServerNotFound(owner, hr);
        return hr;
    }
}

// --- Without a registered server ---

class UnregisteredServerTest : public testing::Test {
protected:
    void SetUp() override {
        // A running server would answer for its class, registered or not.
        ASSERT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "a server of an earlier test still runs";
        ASSERT_EQ(unregisterFakeStorageServer(), ERROR_SUCCESS);
    }
};

TEST_F(UnregisteredServerTest, CreateRootRaisesClassNotRegistered) {
    RaisedComError raised = comErrorOf([] { createRoot(); });
    EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG, raised.hr));
}

TEST_F(UnregisteredServerTest, OpeningShowsServerNotFoundOnceAndReturnsTheFailure) {
    HWND owner = CreateWindowExW(0, L"STATIC", L"Shell", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    lookAtMessageQueue();
    {
        UiRobot robot;
        robot
            .expect(Box()
                        .messageBox()
                        .caption(kMessageCaption)
                        .text(kServerNotFound)
                        .icon(Icon::Error)
                        .buttons({IDOK})
                        .owner(owner))
            .answer(IDOK);
        ComPtr<IStorageServer> root;
        EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG, obtainRoot(owner, root)));
        EXPECT_FALSE(root);
        robot.verify();
        EXPECT_EQ(robot.boxes().size(), 1u);
    }
    DestroyWindow(owner);
}

TEST_F(UnregisteredServerTest, FailureOnTheStorageThreadArrivesAsComError) {
    storage_thread::startOrStop(true);
    RaisedComError raised = comErrorOf([] { storage_thread::run([] { createRoot(); }); });
    EXPECT_TRUE(hrIs(REGDB_E_CLASSNOTREG, raised.hr));
}

// --- With fake_storage_server.exe as the server ---

// One server process serves the suite (starting one costs a second under
// Wine): a root object held for the suite keeps it running. Each test makes
// storages of its own. When the suite lets go, the server must exit.
class StorageServerTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        EXPECT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "a server of an earlier test still runs";
        EXPECT_EQ(registerFakeStorageServer(), ERROR_SUCCESS);
        storage_thread::startOrStop(true);
        RaisedComError raised = comErrorOf([] { suiteRoot_ = createRoot().Detach(); });
        EXPECT_TRUE(hrIs(S_OK, raised.hr)) << narrow(raised.description);
        if (suiteRoot_) {
            EXPECT_TRUE(hrIs(S_OK, suiteRoot_->GetServerInfo(&serverProcess_, &suiteRoots_)));
        }
    }
    static void TearDownTestSuite() {
        if (suiteRoot_)
            suiteRoot_->Release();
        suiteRoot_ = nullptr;
        // Whatever the storage thread still holds goes with its apartment.
        storage_thread::startOrStop(false);
        EXPECT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "the server outlived its last object";
        EXPECT_EQ(unregisterFakeStorageServer(), ERROR_SUCCESS);
    }
    void SetUp() override {
        ASSERT_TRUE(suiteRoot_) << "no server";
        // A test may have stopped it.
        storage_thread::startOrStop(true);
        ASSERT_NE(storage_thread::id(), 0u);
    }

    // Root objects alive in the server now.
    static LONG liveRoots() {
        DWORD process = 0;
        LONG roots = -1;
        EXPECT_TRUE(hrIs(S_OK, suiteRoot_->GetServerInfo(&process, &roots)));
        return roots;
    }

    // On the storage thread: a new storage at path, and that storage opened
    // again as the folder keeps it.
    static ComPtr<IStorageObject> createAndOpen(const std::wstring& path) {
        const TestCertificate& certificate = testCertificate();
        if (certificate.encoded.empty())
            raise(NTE_BAD_KEYSET);
        ComPtr<IStorageServer> root = createRoot();
        ComPtr<IStorageObject> created, opened;
        checkServerCall(root->CreateStorage(text(path).get(),
                                            static_cast<ULONG>(certificate.encoded.size()),
                                            certificate.encoded.data(), &created),
                        root.Get());
        checkServerCall(root->OpenStorage(text(path).get(), &opened), root.Get());
        return opened;
    }

    static inline IStorageServer* suiteRoot_ = nullptr;
    static inline DWORD serverProcess_ = 0;
    static inline LONG suiteRoots_ = 0;
};

std::wstring nameOf(IStorageItem* item) {
    Bstr name;
    EXPECT_TRUE(hrIs(S_OK, item->GetName(name.put())));
    return fromBstr(name.get());
}

TEST_F(StorageServerTest, RootComesFromTheServersProcess) {
    EXPECT_NE(serverProcess_, 0u);
    EXPECT_NE(serverProcess_, GetCurrentProcessId());
    EXPECT_EQ(suiteRoots_, 1);

    // A new root for each call, all from the one server process.
    ComPtr<IStorageServer> root = createRoot();
    ASSERT_TRUE(root);
    DWORD process = 0;
    LONG roots = 0;
    ASSERT_TRUE(hrIs(S_OK, root->GetServerInfo(&process, &roots)));
    EXPECT_EQ(process, serverProcess_);
    EXPECT_EQ(roots, 2);
    ComPtr<IStorageServer> another = createRoot();
    EXPECT_NE(another.Get(), root.Get());
    EXPECT_EQ(liveRoots(), 3);
    another.Reset();
    root.Reset();
    EXPECT_EQ(liveRoots(), 1);
}

TEST_F(StorageServerTest, StorageThreadRunsOperationsAndMakesRoots) {
    const DWORD storageThread = storage_thread::id();
    EXPECT_NE(storageThread, GetCurrentThreadId());
    EXPECT_FALSE(storage_thread::isCurrent());

    DWORD ranOn = 0;
    bool current = false;
    DWORD process = 0;
    LONG roots = 0;
    HRESULT info = E_FAIL;
    storage_thread::run([&] {
        ranOn = GetCurrentThreadId();
        current = storage_thread::isCurrent();
        ComPtr<IStorageServer> root = createRoot();
        info = root->GetServerInfo(&process, &roots);
    });
    EXPECT_EQ(ranOn, storageThread);
    EXPECT_TRUE(current);
    EXPECT_TRUE(hrIs(S_OK, info));
    EXPECT_EQ(process, serverProcess_);
    EXPECT_EQ(roots, 2);
    // The root was released on the storage thread at the operation's end.
    EXPECT_EQ(liveRoots(), 1);

    // Starting again keeps the running thread.
    storage_thread::startOrStop(true);
    EXPECT_EQ(storage_thread::id(), storageThread);
}

TEST_F(StorageServerTest, FailedServerCallOnTheStorageThreadArrivesAsComError) {
    const std::wstring missing = L"C:\\Server access\\Missing.demo-coffrex";
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
    // On the storage thread the server's description came with the failure.
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, there.hr));
    EXPECT_NE(there.description.find(missing), std::wstring::npos) << narrow(there.description);
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, here.hr));
}

TEST_F(StorageServerTest, ServerErrorOnAFolderPointerCarriesTheDescription) {
    const std::wstring path = L"C:\\Server access\\Described.demo-coffrex";
    StoragePointer pointer;
    storage_thread::run([&] { pointer.reset(createAndOpen(path).Get()); });
    ComPtr<IStorageFolder> folder = pointer.folderForThisThread();
    ASSERT_TRUE(folder);
    ComPtr<IStorageFolder> absent;
    RaisedComError raised = comErrorOf([&] {
        checkServerCall(folder->OpenFolder(text(L"Absent").get(), VARIANT_FALSE, &absent),
                        folder.Get());
    });
    EXPECT_TRUE(hrIs(STG_E_PATHNOTFOUND, raised.hr));
    EXPECT_NE(raised.description.find(L"Absent"), std::wstring::npos) << narrow(raised.description);
}

TEST_F(StorageServerTest, EmptyPointerHasNoFolder) {
    StoragePointer pointer;
    EXPECT_TRUE(pointer.empty());
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).hr));
    HRESULT onStorageThread = S_OK;
    storage_thread::run(
        [&] { onStorageThread = comErrorOf([&] { pointer.folderForThisThread(); }).hr; });
    EXPECT_TRUE(hrIs(E_NOINTERFACE, onStorageThread));

    // Emptied again after keeping an object.
    storage_thread::run([&] { pointer.reset(createRoot().Get()); });
    EXPECT_FALSE(pointer.empty());
    storage_thread::run([&] { pointer.reset(nullptr); });
    EXPECT_TRUE(pointer.empty());
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).hr));
}

TEST_F(StorageServerTest, EachThreadGetsAFolderItCanUse) {
    const std::wstring path = L"C:\\Server access\\Kept.demo-coffrex";
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
    EXPECT_EQ(nameOf(mine.Get()), L"Kept.demo-coffrex");
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
    EXPECT_EQ(nameOf(mine.Get()), L"Kept.demo-coffrex");

    // On any other thread: a pointer of that thread's own for each call.
    std::wstring firstName, secondName, againName;
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
                secondName = nameOf(second.Get());
                first.Reset();
                second.Reset();
                // Nothing was kept for this thread: every call unmarshals anew.
                againName = nameOf(pointer.folderForThisThread().Get());
            });
        },
        true);
    ASSERT_TRUE(hrIs(S_OK, other.hr)) << narrow(other.description);
    EXPECT_EQ(firstName, L"Other");
    EXPECT_EQ(secondName, L"Kept.demo-coffrex");
    EXPECT_EQ(againName, L"Kept.demo-coffrex");
    EXPECT_NE(otherFolder, static_cast<const void*>(mine.Get()));
    EXPECT_NE(otherFolder, storageThreadFolder);

    // What the other thread made is there for this one.
    ComPtr<IStorageItem> info;
    EXPECT_TRUE(hrIs(S_OK, mine->GetItemInfo(text(L"Other").get(), &info)));
}

TEST_F(StorageServerTest, OwnThreadKeepsItsPointerOthersNeedTheStorageThread) {
    const std::wstring path = L"C:\\Server access\\Stopped.demo-coffrex";
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
    EXPECT_EQ(nameOf(mine.Get()), L"Stopped.demo-coffrex");

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

TEST_F(StorageServerTest, RunWithoutStorageThreadRaises) {
    storage_thread::startOrStop(false);
    EXPECT_EQ(storage_thread::id(), 0u);
    bool ran = false;
    DWORD code = 0;
    try {
        storage_thread::run([&] { ran = true; });
    } catch (const cfx::win_except& e) {
        code = e.code();
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_THREAD_ID));

    storage_thread::startOrStop(true);
    DWORD ranOn = 0;
    storage_thread::run([&] { ranOn = GetCurrentThreadId(); });
    EXPECT_NE(ranOn, 0u);
    EXPECT_EQ(ranOn, storage_thread::id());
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

TEST_F(StorageServerTest, KeptObjectThatIsNoFolderRaisesNoInterface) {
    StoragePointer pointer;
    HRESULT onStorageThread = S_OK;
    storage_thread::run([&] {
        pointer.reset(createRoot().Get());
        onStorageThread = comErrorOf([&] { pointer.folderForThisThread(); }).hr;
    });
    EXPECT_TRUE(hrIs(E_NOINTERFACE, onStorageThread));
    EXPECT_TRUE(hrIs(E_NOINTERFACE, comErrorOf([&] { pointer.folderForThisThread(); }).hr));
}

} // namespace
} // namespace cfx::test
