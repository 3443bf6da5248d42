// What a storage folder does when the world around it fails, each case in a
// process of its own (see tests/CMakeLists.txt): the storage server not
// registered, the server killed while a folder is open, and the library
// unloaded while its storage thread runs.
#include "folder/FolderTestSupport.h"

#include "idl/cfxview_classes.h"
#include "common/ErrorObjectHook.h"

#include <tlhelp32.h>

#include <chrono>
#include <iostream>
#include <set>

namespace cfx::foldertest {
namespace {

using cfx::test::Box;
using cfx::test::Icon;
using cfx::test::UiRobot;
using namespace cfx::store::test;

const std::wstring kServerNotFound =
    L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the computer. "
    L"If the same error will occur again then try to reinstall the program.";

void runServer(const wchar_t* argument) {
    std::wstring command = L"\"" + cfx::test::programFolder() + kServerProgram + L"\" " + argument;
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::wstring storageWithFiles(const ScratchFolder& scratch) {
    const std::wstring path = scratch.file(L"isolated.demo-coffrex");
    ComPtr<IStorageServer> server = connectServer();
    ComPtr<IStorageFolder> root = createStorage(server.Get(), path);
    for (const wchar_t* name : {L"one.txt", L"two.txt"})
        file(root.Get(), name, true);
    store::test::folder(root.Get(), L"sub", true);
    return path;
}

std::set<DWORD> threadsOfThisProcess() {
    std::set<DWORD> threads;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof entry};
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            threads.insert(entry.th32ThreadID);
    CloseHandle(snapshot);
    return threads;
}

TEST(FolderIsolated, ServerNotRegistered) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"unserved.demo-coffrex");
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    runServer(L"/UnregServer");
    {
        UiRobot robot;
        robot.expect(Box().caption(L"Coffrex").text(kServerNotFound).icon(Icon::Error))
            .answer(IDOK);
        ComPtr<IShellFolder2> folder = openFolder(path, REGDB_E_CLASSNOTREG);
        robot.verify();
    }
    EXPECT_EQ(S_OK, library().canUnloadNow());
}

TEST(FolderIsolated, ServerKilled) {
    ScratchFolder scratch;
    const std::wstring path = storageWithFiles(scratch);
    const DWORD serverProcess = serverProcessOf(connectServer().Get());
    UiRobot robot;
    ComPtr<IShellFolder2> folder = unlockedFolder(path);
    std::vector<ItemIdList> children = listChildren(folder.Get());
    ASSERT_EQ(3u, children.size());

    HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverProcess);
    ASSERT_TRUE(server && TerminateProcess(server, 9));
    WaitForSingleObject(server, 10000);
    CloseHandle(server);

    // The shell's calls fail, the rename says so in its box, and nothing hangs.
    IEnumIDList* items = nullptr;
    EXPECT_TRUE(FAILED(folder->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items)));
    EXPECT_EQ(nullptr, items);
    EXPECT_EQ(L"0x800706BA", cell(folder.Get(), children[0].get(), 3));
    robot.expect(Box().caption(L"Renaming...").messageBox(false)).leaveOpen();
    robot
        .expect(errorBox(L"Unable to rename selected item",
                         HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)))
        .answer(IDOK);
    EXPECT_TRUE(FAILED(folder->SetNameOf(nullptr, children[0].get(), L"x.txt", 0, nullptr)));
    ComPtr<IShellFolder> sub;
    EXPECT_TRUE(FAILED(folder->BindToObject(children.back().get(), nullptr, IID_PPV_ARGS(&sub))));
    children.clear();
    folder.Reset();
    robot.verify();
    EXPECT_EQ(S_OK, library().canUnloadNow());
}

// The library as COM would load it, by file, without the shared instance.
class LoadedCopy {
public:
    LoadedCopy() : module_(LoadLibraryW((cfx::test::programFolder() + L"cfxview.dll").c_str())) {}
    HMODULE module() const { return module_; }
    template <class F> F* proc(const char* name) const {
        return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    ComPtr<IPersistFolder> newFolder() const {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, proc<HRESULT WINAPI(REFCLSID, REFIID, void**)>("DllGetClassObject")(
                            CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
        ComPtr<IPersistFolder> folder;
        EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
        return folder;
    }
    HRESULT canUnloadNow() const { return proc<HRESULT WINAPI()>("DllCanUnloadNow")(); }

private:
    HMODULE module_;
};

// FreeLibrary with the storage thread running, timed; true when the library is gone.
bool unloadWhileTheStorageThreadRuns(HMODULE module) {
    const std::set<DWORD> before = threadsOfThisProcess();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(FreeLibrary(module));
    std::cout << "FreeLibrary took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count()
              << " ms\n";
    const bool gone = GetModuleHandleW(L"cfxview.dll") == nullptr;
    if (gone) {
        EXPECT_LT(threadsOfThisProcess().size(), before.size()) << "the storage thread lives on";
    }
    return gone;
}

TEST(FolderIsolated, Unload) {
    ScratchFolder scratch;
    const std::wstring path = storageWithFiles(scratch);
    UiRobot robot;
    {
        // A folder that starts the storage thread but never reaches the server:
        // the detach stops the thread under the loader lock.
        LoadedCopy dll;
        ItemIdList computer;
        ASSERT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, computer.put()));
        robot.expect(Box().caption(L"Coffrex").text(kServerNotFound)).answer(IDOK);
        EXPECT_EQ(E_FAIL, dll.newFolder()->Initialize(computer.get()));
        EXPECT_EQ(S_OK, dll.canUnloadNow());
        EXPECT_TRUE(unloadWhileTheStorageThreadRuns(dll.module()));
    }
    {
        // Once it has talked to the server under Wine, COM keeps the library's
        // error-object hook, and the library stays loaded.
        LoadedCopy dll;
        ComPtr<IPersistFolder> folder = dll.newFolder();
        ItemIdList list(ILCreateFromPathW(path.c_str()));
        ASSERT_EQ(S_OK, folder->Initialize(list.get()));
        ComPtr<IShellFolder2> shellFolder;
        ASSERT_EQ(S_OK, folder.As(&shellFolder));
        ComPtr<IShellView> view;
        ASSERT_EQ(S_OK, shellFolder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
        view.Reset();
        EXPECT_EQ(3u, listChildren(shellFolder.Get()).size());
        folder.Reset();
        shellFolder.Reset();
        EXPECT_EQ(S_OK, dll.canUnloadNow());
        EXPECT_NE(runningUnderWine(), unloadWhileTheStorageThreadRuns(dll.module()));
    }
    // The process goes on: COM calls across processes still pass the hook.
    EXPECT_EQ(3u, listNames(openStorage(connectServer().Get(), path).Get()).size());
    robot.verify();
}

} // namespace
} // namespace cfx::foldertest
