// The storage folder driven as the shell drives it, on storages of the real
// storage server; FolderIsolated cases each need a process of their own.
#include "common/CommentCipher.h"
#include "common/Wine.h"
#include "folder/StorageItemId.h"
#include "idl/cfxview_classes.h"
#include "server/ErrorReport.h"
#include "storeserver/RemoteStorage.h"
#include "support/StorageFolderOpen.h"
#include "support/UiRobot.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <functional>
#include <optional>
#include <set>

namespace cfx::test {
namespace {

namespace st = cfx::store::test;
using folder::ItemIdList;
using st::ComPtr;

std::vector<ItemIdList> listChildren(IShellFolder2* folder,
                                     SHCONTF flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS) {
    std::vector<ItemIdList> children;
    ComPtr<IEnumIDList> items;
    EXPECT_TRUE(SUCCEEDED(folder->EnumObjects(nullptr, flags, &items)));
    for (LPITEMIDLIST child = nullptr; items && items->Next(1, &child, nullptr) == S_OK;)
        children.emplace_back(child);
    return children;
}

// A display name; empty for a failure.
std::wstring textOf(HRESULT hr, STRRET& value, LPCITEMIDLIST item) {
    wchar_t* text = nullptr;
    if (FAILED(hr) || FAILED(StrRetToStrW(&value, item, &text)))
        return L"";
    std::wstring result = text;
    CoTaskMemFree(text);
    return result;
}
std::wstring displayName(IShellFolder2* folder, LPCITEMIDLIST item, SHGDNF flags) {
    STRRET value{};
    return textOf(folder->GetDisplayNameOf(item, flags, &value), value, item);
}

// An identifier as the shell keeps one in shortcuts and view state.
std::vector<BYTE> craftedId(const std::wstring& name, DWORD kind = 2, ULONGLONG size = 0) {
    const WORD cb = static_cast<WORD>(34 + 2 * name.size());
    std::vector<BYTE> bytes(cb + 2u, 0);
    std::memcpy(&bytes[0], &cb, 2), std::memcpy(&bytes[2], &folder::kStorageItemIdSignature, 16);
    std::memcpy(&bytes[18], &kind, 4), std::memcpy(&bytes[22], &size, 8);
    std::memcpy(&bytes[30], name.data(), 2 * name.size());
    return bytes;
}
LPCITEMIDLIST asList(const std::vector<BYTE>& bytes) {
    return reinterpret_cast<LPCITEMIDLIST>(bytes.data());
}

// "Hide extensions" set through the value SHGetSettings reports: Wine 8 reads
// HideFileExt the other way round from Windows.
void hideExtensions(bool hide) {
    for (DWORD value : {0u, 1u}) {
        SHRegSetUSValueW(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced",
                         L"HideFileExt", REG_DWORD, &value, sizeof value, SHREGSET_FORCE_HKCU);
        SHELLFLAGSTATE state{};
        SHGetSettings(&state, SSF_SHOWEXTENSIONS);
        if (!state.fShowExtensions == hide)
            return;
    }
    ADD_FAILURE() << "SHGetSettings does not follow HideFileExt";
}

Box errorBox(const std::wstring& prefix, HRESULT hr) {
    const std::wstring text = prefix + L"\n\n" + server::errorText(DWORD(hr));
    return Box().caption(L"Coffrex").icon(Icon::Error).text(text);
}
const wchar_t kRenameFailed[] = L"Unable to rename selected item";

const std::wstring kUnicode = L"\u00c4rger \u65e5\u672c \u05e9\u05dc\u05d5\u05dd";
const std::wstring kLong = std::wstring(240, L'L') + L".txt";
const std::wstring kFiles[] = {L"readme.txt", L"data.xyz", L"NoExtension", kLong};

class StorageFolderTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new st::ScratchFolder;
        path_ = scratch_->file(L"browse.demo-coffrex");
        ComPtr<IStorageServer> server = st::connectServer();
        ComPtr<IStorageFolder> root = st::createStorage(server.Get(), path_);
        st::file(st::folder(root.Get(), L"Documents\\Reports\\2024", true).Get(), L"summary.txt",
                 true);
        st::folder(root.Get(), kUnicode, true);
        for (const std::wstring& name : kFiles)
            st::file(root.Get(), name, true);
        check(server->LockStorage(st::bstr(path_).get())); // the library must unlock it
    }
    static void TearDownTestSuite() { delete scratch_; }

    void SetUp() override {
        hideExtensions(false);
        folder_ = openStorageFolder(path_);
        children_ = listChildren(folder_.Get());
    }
    void TearDown() override {
        children_.clear();
        folder_.Reset();
        robot_.verify();
        EXPECT_EQ(S_OK, cfxview().canUnloadNow()) << "an object of the library is still alive";
    }

    LPCITEMIDLIST child(const std::wstring& name) {
        for (const ItemIdList& item : children_)
            if (displayName(folder_.Get(), item.get(), SHGDN_INFOLDER) == name)
                return item.get();
        ADD_FAILURE() << "no child " << narrow(name);
        return nullptr;
    }
    std::vector<std::wstring> storageNames() {
        return st::listNames(st::openStorage(st::connectServer().Get(), path_).Get());
    }

    static inline st::ScratchFolder* scratch_ = nullptr;
    static inline std::wstring path_;
    UiRobot robot_;
    ComPtr<IShellFolder2> folder_;
    std::vector<ItemIdList> children_;
};

// Listing, binding and parsing into nested folders; a frozen storage is refused.
TEST_F(StorageFolderTest, ListsWhatTheFlagsAskAndBindsToNestedFolders) {
    std::set<std::wstring> names[2];
    for (int files = 0; files < 2; ++files)
        for (const ItemIdList& item :
             listChildren(folder_.Get(), files ? SHCONTF_NONFOLDERS : SHCONTF_FOLDERS))
            names[files].insert(displayName(folder_.Get(), item.get(), SHGDN_INFOLDER));
    EXPECT_EQ(names[0], (std::set<std::wstring>{L"Documents", kUnicode}));
    EXPECT_EQ(names[1], std::set<std::wstring>(std::begin(kFiles), std::end(kFiles)));
    ComPtr<IShellFolder2> documents, year;
    ItemIdList twoLevels;
    ASSERT_EQ(S_OK, folder_->BindToObject(child(L"Documents"), nullptr, IID_PPV_ARGS(&documents)));
    ASSERT_EQ(S_OK,
              documents->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(L"Reports\\2024"),
                                          nullptr, twoLevels.put(), nullptr));
    ASSERT_EQ(S_OK, documents->BindToObject(twoLevels.get(), nullptr, IID_PPV_ARGS(&year)));
    std::vector<ItemIdList> inYear = listChildren(year.Get());
    ASSERT_EQ(1u, inYear.size());
    EXPECT_EQ(path_ + L"\\Documents\\Reports\\2024\\summary.txt",
              displayName(year.Get(), inYear[0].get(), SHGDN_FORPARSING));
    ComPtr<IStorageServer> server = st::connectServer();
    const std::wstring frozen = scratch_->file(L"frozen.demo-coffrex");
    st::createStorage(server.Get(), frozen);
    check(server->SetStorageFrozen(st::bstr(frozen).get(), 1));
    openStorageFolder(frozen, false, E_ACCESSDENIED);
}

// The cipher of the comment column against the published RC4 test vector.
TEST(CommentCipher, MatchesThePublishedRc4Vector) {
    std::vector<BYTE> bytes{'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
    rc4({'K', 'e', 'y'}, bytes);
    EXPECT_EQ(bytes, (std::vector<BYTE>{0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}));
}

// Attributes of folders, files and mixed selections.
TEST_F(StorageFolderTest, AttributesOfMixedSelections) {
    const std::pair<std::vector<std::wstring>, SFGAOF> cases[] = {
        {{L"Documents"}, 0xA8000173},
        {{L"readme.txt"}, 0x73},
        {{L"Documents", L"readme.txt"}, 0x23}};
    for (const auto& [names, expected] : cases) {
        std::vector<LPCITEMIDLIST> items;
        for (const std::wstring& name : names)
            items.push_back(child(name));
        SFGAOF attributes = ~SFGAO_VALIDATE;
        EXPECT_EQ(S_OK, folder_->GetAttributesOf(UINT(items.size()), items.data(), &attributes));
        EXPECT_EQ(expected, attributes) << narrow(names.back()) << " of " << names.size();
    }
}

// A name for editing hides the extension; parsing says what is missing.
TEST_F(StorageFolderTest, EditingNamesHideExtensionsAndParsingSaysWhatIsMissing) {
    LPCITEMIDLIST readme = child(L"readme.txt");
    hideExtensions(true);
    EXPECT_EQ(L"readme", displayName(folder_.Get(), readme, SHGDN_FOREDITING));
    for (const auto& [name, hr] : {std::pair{L"\\Documents\\\\Reports\\2024\\summary.txt", S_OK},
                                   {L"readme.txt\\inside", STG_E_PATHNOTFOUND},
                                   {L"missing", STG_E_FILENOTFOUND},
                                   {L"\\", E_FAIL}}) {
        ItemIdList list;
        EXPECT_TRUE(hrIs(hr, folder_->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(name),
                                                       nullptr, list.put(), nullptr)));
        UINT levels = 0;
        for (LPCITEMIDLIST at = list.get(); at && at->mkid.cb; at = ILGetNext(at))
            ++levels;
        EXPECT_EQ(SUCCEEDED(hr) ? 4u : 0u, levels) << narrow(name);
    }
}

// A rename tells the shell; a file keeps its hidden extension; a name taken or
// refused gets the error box and changes nothing.
TEST_F(StorageFolderTest, RenamesWithAProgressDialogAndTellsTheShell) {
    ComPtr<IPersistFolder2> persist;
    ItemIdList own, renamed;
    ASSERT_EQ(S_OK, folder_.As(&persist));
    ASSERT_EQ(S_OK, persist->GetCurFolder(own.put()));
    auto renaming = [&](const std::wstring& from, const std::wstring& to) {
        const std::wstring text = L"Renaming '" + from + L"' to '" + to + L"'";
        robot_.expect(Box().caption(L"Renaming...").textContaining(text)).leaveOpen();
    };
    renaming(L"data.xyz", L"renamed.xyz");
    EXPECT_EQ(
        (std::vector<std::wstring>{std::to_wstring(SHCNE_RENAMEITEM) + L" data.xyz renamed.xyz",
                                   std::to_wstring(SHCNE_UPDATEDIR) + L" - -"}),
        changeNotificationsDuring(own.get(), [&] {
            EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, child(L"data.xyz"), L"renamed.xyz",
                                               SHGDN_INFOLDER, renamed.put()));
        }));
    EXPECT_EQ(L"renamed.xyz", displayName(folder_.Get(), renamed.get(), SHGDN_INFOLDER));
    hideExtensions(true);
    renaming(L"renamed.xyz", L"data.xyz");
    EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, renamed.get(), L"data", SHGDN_FOREDITING, nullptr));
    hideExtensions(false);
    const std::vector<std::wstring> before = storageNames();
    for (const wchar_t* taken : {L"NoExtension", L"bad\\name", L""}) {
        renaming(L"readme.txt", taken);
        robot_.expect(Box().textContaining(kRenameFailed + std::wstring(L"\n\n")).icon(Icon::Error))
            .answer(IDOK);
        EXPECT_TRUE(FAILED(folder_->SetNameOf(nullptr, child(L"readme.txt"), taken, 0, nullptr)));
    }
    EXPECT_EQ(before, storageNames());
    EXPECT_EQ(E_INVALIDARG,
              folder_->SetNameOf(nullptr, child(L"readme.txt"), L"x", SHGDN_FORPARSING, nullptr));
}

TEST_F(StorageFolderTest, ForeignAndTruncatedIdentifiersAreRefusedEverywhere) {
    auto foreign = craftedId(L"readme.txt", 2, 1025), truncated = foreign;
    foreign[5] ^= 0x40;   // one bit of the signature
    truncated.resize(22); // cut inside the signature
    truncated[0] = 20;
    truncated[20] = truncated[21] = 0;
    const std::vector<std::wstring> before = storageNames();
    for (const auto* bad : {&foreign, &truncated}) {
        LPCITEMIDLIST item = asList(*bad);
        ComPtr<IUnknown> out;
        SFGAOF attributes = SFGAO_VALIDATE;
        STRRET name{};
        SHELLDETAILS details{};
        const std::function<HRESULT()> calls[] = {
            [&] { return folder_->BindToObject(item, nullptr, IID_IShellFolder, &out); },
            [&] { return folder_->CompareIDs(0, item, child(L"readme.txt")); },
            [&] { return folder_->GetAttributesOf(1, &item, &attributes); },
            [&] { return folder_->GetUIObjectOf(nullptr, 1, &item, IID_IContextMenu, 0, &out); },
            [&] { return folder_->GetDisplayNameOf(item, SHGDN_FORPARSING, &name); },
            [&] { return folder_->GetDetailsOf(item, 3, &details); },
            [&] {
                robot_.expect(errorBox(kRenameFailed, E_INVALIDARG)).answer(IDOK);
                return folder_->SetNameOf(nullptr, item, L"x.txt", 0, nullptr);
            }};
        for (size_t i = 0; i < std::size(calls); ++i)
            EXPECT_TRUE(hrIs(E_INVALIDARG, calls[i]())) << "call " << i << " of " << bad->size();
    }
    EXPECT_EQ(before, storageNames());
}

// --- Each in a process of its own ------------------------------------------------

const wchar_t kServerNotFound[] =
    L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the computer. If "
    L"the same error will occur again then try to reinstall the program.";

std::wstring storageWithThreeItems(const st::ScratchFolder& scratch) {
    const std::wstring path = scratch.file(L"isolated.demo-coffrex");
    ComPtr<IStorageFolder> root = st::createStorage(st::connectServer().Get(), path);
    for (const wchar_t* name : {L"one.txt", L"two.txt", L"three.txt"})
        st::file(root.Get(), name, true);
    return path;
}

TEST(FolderIsolated, ServerNotRegistered) {
    st::ScratchFolder scratch;
    const std::wstring path = scratch.file(L"unserved.demo-coffrex");
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    st::runServerCommand(L"/UnregServer");
    UiRobot robot;
    robot.expect(Box().text(kServerNotFound).icon(Icon::Error)).answer(IDOK); // once
    openStorageFolder(path, false, REGDB_E_CLASSNOTREG);
    robot.verify();
    EXPECT_EQ(S_OK, cfxview().canUnloadNow());
}

// The shell's calls fail, the rename says so in its box, and nothing hangs.
TEST(FolderIsolated, ServerKilled) {
    st::ScratchFolder scratch;
    const std::wstring path = storageWithThreeItems(scratch);
    UiRobot robot;
    ComPtr<IShellFolder2> folder = openStorageFolder(path);
    std::vector<ItemIdList> children = listChildren(folder.Get());
    ASSERT_EQ(3u, children.size());
    KernelHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                    st::serverProcessOf(st::connectServer().Get())));
    ASSERT_TRUE(TerminateProcess(server.get(), 9));
    WaitForSingleObject(server.get(), 10000);
    IEnumIDList* items = nullptr;
    SHELLDETAILS details{};
    EXPECT_TRUE(hrIs(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
                     folder->GetDetailsOf(children[0].get(), 3, &details)));
    EXPECT_TRUE(FAILED(folder->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items)));
    robot.expect(Box().caption(L"Renaming...")).leaveOpen();
    robot.expect(errorBox(kRenameFailed, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)))
        .answer(IDOK);
    EXPECT_TRUE(FAILED(folder->SetNameOf(nullptr, children[0].get(), L"x.txt", 0, nullptr)));
    children.clear();
    folder.Reset();
    robot.verify();
    EXPECT_EQ(S_OK, cfxview().canUnloadNow());
}

// The detach stops the storage thread, also one that never reached the server
// (a list with no file). Once the library has talked to the server under Wine,
// COM keeps its error-object hook, and the library stays loaded.
TEST(FolderIsolated, Unload) {
    st::ScratchFolder scratch;
    const std::wstring path = storageWithThreeItems(scratch);
    auto threads = [] {
        size_t count = 0;
        KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        THREADENTRY32 entry{sizeof entry};
        for (BOOL more = Thread32First(snapshot.get(), &entry); more;
             more = Thread32Next(snapshot.get(), &entry))
            count += entry.th32OwnerProcessID == GetCurrentProcessId();
        return count;
    };
    UiRobot robot;
    ItemIdList computer, file(ILCreateFromPathW(path.c_str()));
    ASSERT_EQ(S_OK, SHGetFolderLocation(nullptr, CSIDL_DRIVES, nullptr, 0, computer.put()));
    for (LPCITEMIDLIST list : {computer.get(), file.get()}) {
        std::optional<LoadedLibrary> dll(std::in_place, L"cfxview.dll");
        {
            ComPtr<IClassFactory> factory;
            ComPtr<IShellFolder2> folder;
            ComPtr<IPersistFolder> persist;
            ComPtr<IShellView> view;
            ASSERT_EQ(S_OK, dll->getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
            ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
            ASSERT_EQ(S_OK, folder.As(&persist));
            if (list == computer.get())
                robot.expect(Box().text(kServerNotFound).icon(Icon::Error)).answer(IDOK);
            ASSERT_EQ(list == computer.get() ? E_FAIL : S_OK, persist->Initialize(list));
            if (list == file.get()) {
                ASSERT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
                EXPECT_EQ(3u, listChildren(folder.Get()).size());
            }
        }
        EXPECT_EQ(S_OK, dll->canUnloadNow());
        const size_t before = threads();
        dll.reset();
        const bool stays = list == file.get() && runningUnderWine();
        EXPECT_EQ(stays, GetModuleHandleW(L"cfxview.dll") != nullptr);
        EXPECT_TRUE(stays || threads() < before) << "the storage thread lives on";
    }
    // The process goes on: COM calls across processes still pass the hook.
    EXPECT_EQ(3u, st::listNames(st::openStorage(st::connectServer().Get(), path).Get()).size());
    robot.verify();
}

} // namespace
} // namespace cfx::test
