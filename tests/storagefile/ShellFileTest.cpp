// The storage file's icon overlays, context menu and property page, reached
// the way the shell reaches them: the library's class objects, a selection
// from the parent folder's GetUIObjectOf, storages of the real storage server.
#include "storeserver/RemoteStorage.h"

#include "module/ClassTable.h"
#include "server/CertificateStore.h"
#include "server/StorageProperties.h"
#include "storagefile/IconOverlay.h"
#include "storagefile/StorageFreeze.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
#include "ui/dialog_ids.h"

#include <prsht.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>

namespace cfx::store::test {
namespace {

using cfx::test::Box;
using cfx::test::UiRobot;

const cfx::test::LoadedLibrary& library() {
    static cfx::test::LoadedLibrary loaded(L"cfxview.dll");
    return loaded;
}

template <class Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

template <class I> ComPtr<I> create(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    ComPtr<I> object;
    check(library().getClassObject(clsid, IID_PPV_ARGS(&factory)));
    check(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)));
    return object;
}

// The selection of files of one folder, as Explorer hands it to an extension.
ComPtr<IDataObject> selection(const std::wstring& folder, std::vector<std::wstring> names) {
    ComPtr<IShellFolder> desktop, parent;
    check(SHGetDesktopFolder(&desktop));
    LPITEMIDLIST folderId = ILCreateFromPathW(folder.c_str()), item = nullptr;
    check(desktop->BindToObject(folderId, nullptr, IID_PPV_ARGS(&parent)));
    ILFree(folderId);
    std::vector<LPCITEMIDLIST> items;
    for (std::wstring& name : names) {
        check(parent->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &item, nullptr));
        items.push_back(item);
    }
    ComPtr<IDataObject> data;
    check(parent->GetUIObjectOf(nullptr, static_cast<UINT>(items.size()), items.data(),
                                IID_IDataObject, nullptr,
                                reinterpret_cast<void**>(data.GetAddressOf())));
    for (LPCITEMIDLIST each : items)
        ILFree(const_cast<LPITEMIDLIST>(each));
    return data;
}

std::wstring keyFile(const std::wstring& name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

enum State : unsigned { Plain = 0, Frozen = 1, Keyed = 2, Installed = 4 };

class ShellFile : public testing::Test {
protected:
    // A storage of the "protected" key in the given state.
    std::wstring storage(const wchar_t* name, unsigned state = Plain) {
        const std::wstring path = scratch_.file(name);
        const Certificate key =
            std::move(server::ImportPfxFile(keyFile(L"protected"), L"secret").front());
        const CERT_CONTEXT* c = key.get();
        auto root = createStorage(
            server_.Get(), path,
            {{c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded}, server::GetKeyIdentifier(c)});
        Variant flags(ULONGLONG(state & Keyed ? server::kKeyAttached : 0));
        check(root->SetProperty(StorageProperty_Flags, flags.get()));
        check(server_->CommitStorage(bstr(path).get()));
        if (state & Installed) {
            CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
            checkLastError(CertAddCertificateContextToStore(my.get(), key.get(),
                                                            CERT_STORE_ADD_REPLACE_EXISTING, 0));
            installedId_ = server::GetKeyIdentifier(c);
        }
        if (state & Frozen)
            storagefile::FreezeStorage(path, true);
        return path;
    }
    bool frozen(const std::wstring& path) {
        LONG state = -1;
        check(server_->GetStorageState(bstr(path).get(), &state));
        return state == StorageStateFrozen;
    }
    template <class I>
    ComPtr<I> initialised(const CLSID& clsid, std::vector<std::wstring> names,
                          HRESULT expected = S_OK) {
        auto init = create<IShellExtInit>(clsid);
        EXPECT_EQ(expected, init->Initialize(nullptr, selection(scratch_.path(), names).Get(), 0));
        ComPtr<I> object;
        check(init.As(&object));
        return object;
    }
    void TearDown() override {
        try {
            if (!installedId_.empty())
                server::DeleteInstalledCertificate(server::FindByKeyIdentifier(installedId_));
        } catch (...) {
            // a test deleted it
        }
    }

    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_ = connectServer();
    std::vector<BYTE> installedId_;
};

// --- Overlays: frozen, inaccessible, key, for files of every kind ---

struct OverlayCase {
    const char* name;
    const wchar_t* file;
    unsigned state;
    HRESULT frozen, inaccessible, key;
};
const OverlayCase kOverlayCases[] = {
    {"Plain", L"a.demo-coffrex", Plain, S_FALSE, S_FALSE, S_FALSE},
    {"Frozen", L"a.demo-coffrex", Frozen, S_OK, S_FALSE, S_FALSE},
    {"Keyed", L"a.demo-coffrex", Keyed, S_FALSE, S_FALSE, S_OK},
    {"FrozenAndKeyed", L"a.demo-coffrex", Frozen | Keyed, S_OK, S_FALSE, S_OK},
    {"UpperCase", L"A.DEMO-COFFREX", Frozen | Keyed, S_OK, S_FALSE, S_OK},
    // A storage under another name: the extension decides before any server
    // call.
    {"OtherType", L"a.demo-coffrex.txt", Frozen | Keyed, S_FALSE, S_FALSE, S_FALSE},
};
class Overlays : public ShellFile, public testing::WithParamInterface<OverlayCase> {};

std::vector<BYTE> randomFile(const std::wstring& path) {
    std::vector<BYTE> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>((i * 7919) >> 3);
    FILE* file = _wfopen(path.c_str(), L"wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return bytes;
}

HRESULT memberOf(const CLSID& overlay, const std::wstring& path) {
    return create<IShellIconOverlayIdentifier>(overlay)->IsMemberOf(path.c_str(), 0);
}

TEST_P(Overlays, MarkWhatTheServerSays) {
    const OverlayCase& c = GetParam();
    const std::wstring path = storage(c.file, c.state);
    EXPECT_EQ(c.frozen, memberOf(CLSID_FrozenOverlay, path));
    EXPECT_EQ(c.inaccessible, memberOf(CLSID_InaccessibleOverlay, path));
    EXPECT_EQ(c.key, memberOf(CLSID_KeyOverlay, path));
    if (c.state & Frozen)
        storagefile::FreezeStorage(path, false);
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Overlays, testing::ValuesIn(kOverlayCases),
                         caseName<OverlayCase>);

// --- Files that are not storages to be had: every handler answers, at once,
// and the file keeps its bytes ---

// A drop list of one path as a program hands it over the clipboard: the
// shell's own selection cannot name a path longer than MAX_PATH.
ComPtr<IDataObject> dropList(const std::wstring& path) {
    OleInitialize(nullptr);
    const size_t size = sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t);
    HGLOBAL list = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    auto* header = static_cast<DROPFILES*>(GlobalLock(list));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    path.copy(reinterpret_cast<wchar_t*>(header + 1), path.size());
    GlobalUnlock(list);
    EXPECT_TRUE(OpenClipboard(nullptr) && EmptyClipboard() && SetClipboardData(CF_HDROP, list));
    CloseClipboard();
    ComPtr<IDataObject> data;
    check(OleGetClipboard(&data));
    return data;
}

enum Damage { Locked, LongPath, Directory, RandomBytes, Truncated };
struct BadCase {
    const char* name;
    Damage damage;
    HRESULT opened; // the handlers' Initialize
    // What the freeze command of a menu made before the damage shows; null:
    // the damage leaves no menu to be made.
    const wchar_t* shown;
};
const BadCase kBadCases[] = {
    {"LockedByAnotherProgram", Locked, STG_E_SHAREVIOLATION, L"in use by another program"},
    // Wine opens a path past MAX_PATH as any other; Windows does as its
    // long-path setting says, and a refusal is the server's failure.
    {"LongerThanMaxPath", LongPath, S_OK, nullptr},
    {"FolderWithTheExtension", Directory, STG_E_ACCESSDENIED, nullptr},
    {"RandomBytes", RandomBytes, STG_E_DOCFILECORRUPT, L"is not a storage container"},
    {"Truncated", Truncated, STG_E_DOCFILECORRUPT, L"is not a storage container"},
};
class BadFiles : public ShellFile, public testing::WithParamInterface<BadCase> {};

// Folders deep enough for a path past MAX_PATH, outside the scratch folder
// and taken away by the test itself: Wine's SHFileOperationW cannot delete
// them, and when asked to it deletes files of the current folder instead.
struct DeepFolders {
    std::vector<std::wstring> made; // with the \\?\ prefix
    ~DeepFolders() {
        for (auto each = made.rbegin(); each != made.rend(); ++each)
            DeleteFileW(each->c_str()) || RemoveDirectoryW(each->c_str());
    }
    std::wstring add(const std::wstring& path) {
        made.push_back(L"\\\\?\\" + path);
        return made.back();
    }
};

TEST_P(BadFiles, AreNeitherFrozenNorKeyedGetNoItemsAndLoseNothing) {
    const BadCase& c = GetParam();
    std::wstring path = scratch_.file(L"a.demo-coffrex"), whole = path;
    DeepFolders deep;
    ComPtr<IContextMenu> menu;
    FileHandle lock;
    if (c.damage == Directory) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    } else {
        storage(L"a.demo-coffrex", Keyed);
        if (c.shown)
            menu = initialised<IContextMenu>(CLSID_StorageContextMenu, {L"a.demo-coffrex"});
        check(server_->ReleaseStorage(bstr(path).get()));
    }
    if (c.damage == LongPath) {
        wchar_t temporary[MAX_PATH];
        path.assign(temporary, GetTempPathW(MAX_PATH, temporary));
        path += L"cfxdeep-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(deep.add(path).c_str(), nullptr));
        while (path.size() < MAX_PATH) {
            path += L"\\" + std::wstring(60, L'd');
            ASSERT_TRUE(CreateDirectoryW(deep.add(path).c_str(), nullptr));
        }
        path += L"\\a.demo-coffrex";
        ASSERT_TRUE(MoveFileW(whole.c_str(), deep.add(path).c_str()));
        whole = deep.made.back();
    } else if (c.damage == RandomBytes) {
        randomFile(path);
    } else if (c.damage == Truncated) {
        FileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        SetFilePointer(file.get(), 6000, nullptr, FILE_BEGIN);
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    const std::vector<BYTE> bytes = c.damage == Directory ? std::vector<BYTE>() : fileBytes(whole);
    if (c.damage == Locked) {
        lock.reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
    }
    EXPECT_EQ(S_FALSE, memberOf(CLSID_FrozenOverlay, path));
    EXPECT_EQ(S_FALSE, memberOf(CLSID_InaccessibleOverlay, path));
    EXPECT_EQ(c.opened == S_OK ? S_OK : S_FALSE, memberOf(CLSID_KeyOverlay, path));
    for (const CLSID& clsid : {CLSID_StorageContextMenu, CLSID_StoragePropertyPage})
        EXPECT_EQ(c.opened,
                  create<IShellExtInit>(clsid)->Initialize(nullptr, dropList(path).Get(), 0));
    if (menu) {
        UiRobot robot;
        robot
            .expect(Box()
                        .messageBox()
                        .textContaining(L"Unable to complete operation due to internal error.\n\n")
                        .textContaining(c.shown))
            .answer(IDOK);
        CMINVOKECOMMANDINFO info{sizeof info};
        info.lpVerb = "cfx:freeze";
        EXPECT_EQ(S_OK, menu->InvokeCommand(&info));
        robot.verify();
        EXPECT_FALSE(frozen(path));
    }
    lock.reset();
    check(server_->ReleaseStorage(bstr(path).get()));
    if (c.damage != Directory) {
        EXPECT_EQ(bytes, fileBytes(whole));
    }
}
INSTANTIATE_TEST_SUITE_P(ShellFile, BadFiles, testing::ValuesIn(kBadCases), caseName<BadCase>);

// Run alone (see CMakeLists.txt): the server is unregistered for the rest of the run.
TEST(ServerUnregistered, EveryStorageIsOutOfReachAndOtherFilesCostNoCall) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"a.demo-coffrex"), other = scratch.file(L"a.txt");
    newContainer(path).reset();
    ASSERT_EQ(0u, runServerCommand(L"/UnregServer"));
    EXPECT_EQ(S_OK, memberOf(CLSID_InaccessibleOverlay, path));
    EXPECT_EQ(S_FALSE, memberOf(CLSID_InaccessibleOverlay, other)) << "the server was asked";
    EXPECT_EQ(S_FALSE, memberOf(CLSID_FrozenOverlay, path));
    EXPECT_EQ(S_FALSE, memberOf(CLSID_KeyOverlay, path));
    auto menu = create<IShellExtInit>(CLSID_StorageContextMenu);
    EXPECT_NE(S_OK,
              menu->Initialize(nullptr, selection(scratch.path(), {L"a.demo-coffrex"}).Get(), 0));
    EXPECT_EQ(0u, runServerCommand(L"/RegServer"));
}

// --- The context menu ---

// Each entry as "offset text", greyed ones in brackets, sub-menu entries indented.
std::vector<std::wstring> entries(HMENU menu, UINT first, const std::wstring& indent = L"") {
    std::vector<std::wstring> found;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[100] = {};
        MENUITEMINFOW item{sizeof item,
                           MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU};
        item.dwTypeData = text;
        item.cch = 100;
        GetMenuItemInfoW(menu, i, TRUE, &item);
        std::wstring shown = item.fType & MFT_SEPARATOR ? L"-" : text;
        if (item.fState & MFS_GRAYED && !(item.fType & MFT_SEPARATOR))
            shown = L"(" + shown + L")";
        found.push_back(indent + std::to_wstring(int(item.wID - first)) + L" " + shown);
        if (item.hSubMenu)
            for (auto& sub : entries(item.hSubMenu, first, indent + L"  "))
                found.push_back(sub);
    }
    return found;
}

// The whole menu for a plain storage, above the host's own "Open".
const std::vector<std::wstring> kPlainMenu = {L"12 -",
                                              L"1 (Unfreeze)",
                                              L"2 Freeze",
                                              L"3 Defragmentation...",
                                              L"4 Manage key",
                                              L"  5 (View installed key...)",
                                              L"  6 (Delete installed key...)",
                                              L"  7 -",
                                              L"  8 Attach a key...",
                                              L"  9 (Detach key...)",
                                              L"  10 (Install key...)",
                                              L"  11 (Export key...)",
                                              L"0 -",
                                              L"-99 Open"};

struct MenuCase {
    const char* name;
    unsigned state;
    // Offsets 1, 2, 3, 5, 6, 8, 9, 10, 11: 1 enabled, 0 greyed.
    const wchar_t* enabled;
    bool background = false; // the menu of the opened storage's background: the folder's path
};
const MenuCase kMenus[] = {
    {"Plain", Plain, L"011001000"},
    {"Frozen", Frozen, L"101001000"},
    {"Installed", Installed, L"011111000"},
    {"Keyed", Keyed, L"011000111"},
    {"KeyedInstalled", Keyed | Installed, L"011110101"},
    {"FrozenKeyedInstalledBackground", Frozen | Keyed | Installed, L"101110101", true},
};
class Menus : public ShellFile, public testing::WithParamInterface<MenuCase> {};

TEST_P(Menus, FollowTheStoragesState) {
    const std::wstring path = storage(L"a.demo-coffrex", GetParam().state);
    ComPtr<IContextMenu> menu;
    if (GetParam().background) {
        auto init = create<IShellExtInit>(CLSID_StorageContextMenu);
        PIDLIST_ABSOLUTE folder = ILCreateFromPathW(path.c_str());
        EXPECT_EQ(S_OK, init->Initialize(folder, nullptr, nullptr));
        ILFree(folder);
        check(init.As(&menu));
    } else {
        menu = initialised<IContextMenu>(CLSID_StorageContextMenu, {L"a.demo-coffrex"});
    }
    HMENU host = CreatePopupMenu();
    AppendMenuW(host, MF_STRING, 1, L"Open");
    EXPECT_EQ(0, menu->QueryContextMenu(host, 0, 100, 0x7FFF, CMF_DEFAULTONLY));
    EXPECT_EQ(18, menu->QueryContextMenu(host, 0, 100, 0x7FFF, CMF_NORMAL));
    const auto shown = entries(host, 100);
    std::wstring enabled;
    for (const std::wstring& entry : shown)
        if (entry.back() != L'-' && std::wcschr(L"1235689", entry[entry.find_first_not_of(L' ')]))
            enabled += entry.find(L'(') == std::wstring::npos ? L'1' : L'0';
    EXPECT_EQ(GetParam().enabled, enabled);
    if (GetParam().state == Plain) {
        EXPECT_EQ(kPlainMenu, shown);
    }
    DestroyMenu(host);
    if (GetParam().state & Frozen)
        storagefile::FreezeStorage(path, false);
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Menus, testing::ValuesIn(kMenus), caseName<MenuCase>);

TEST_F(ShellFile, OnlyOneStorageFileGetsTheMenuAndThePage) {
    storage(L"a.demo-coffrex");
    storage(L"b.demo-coffrex");
    for (const CLSID& clsid : {CLSID_StorageContextMenu, CLSID_StoragePropertyPage})
        initialised<IUnknown>(clsid, {L"a.demo-coffrex", L"b.demo-coffrex"}, E_INVALIDARG);
}

TEST_F(ShellFile, CommandStringsAreBoundedToTheBuffer) {
    storage(L"a.demo-coffrex");
    auto menu = initialised<IContextMenu>(CLSID_StorageContextMenu, {L"a.demo-coffrex"});
    const struct {
        UINT offset;
        const char *verb, *help;
    } rows[] = {{1, "cfx:unfreeze", "Unfreeze the storage"},
                {10, "cfx:installkey", "Install attached storage key..."},
                {11, "cfx:exportkey", "Export attached storage key to file..."}};
    for (const auto& row : rows) {
        char text[64];
        wchar_t wide[64];
        const UINT fits = UINT(strlen(row.help) + 1);
        EXPECT_EQ(S_OK, menu->GetCommandString(row.offset, GCS_VERBA, nullptr, text, 64));
        EXPECT_STREQ(row.verb, text);
        EXPECT_EQ(S_OK, menu->GetCommandString(row.offset, GCS_HELPTEXTW, nullptr,
                                               reinterpret_cast<char*>(wide), fits));
        EXPECT_EQ(std::wstring(row.help, row.help + fits - 1), wide);
        EXPECT_EQ(E_OUTOFMEMORY,
                  menu->GetCommandString(row.offset, GCS_HELPTEXTA, nullptr, text, fits - 1));
    }
    EXPECT_EQ(E_INVALIDARG, menu->GetCommandString(4, GCS_VERBA, nullptr, nullptr, 0));
    EXPECT_EQ(S_OK, menu->GetCommandString(1, GCS_VALIDATEA, nullptr, nullptr, 0));
}

// Verbs and offsets, acting on the state read when the menu was made.
struct Invoke {
    const char* name;
    unsigned state;
    const char* verb; // null: the offset
    UINT offset;
    HRESULT result;
    bool frozenAfter;
};
const Invoke kInvokes[] = {
    {"FreezeVerb", Plain, "cfx:freeze", 0, S_OK, true},
    {"UnfreezeOffset", Frozen, nullptr, 1, S_OK, false},
    {"FreezeFrozenDoesNothing", Frozen, "cfx:freeze", 0, S_OK, true},
    {"VerbIsCaseSensitive", Plain, "CFX:FREEZE", 0, E_NOTIMPL, false},
    {"SubMenuOffset", Plain, nullptr, 4, E_NOTIMPL, false},
    {"SeparatorOffset", Plain, nullptr, 12, E_NOTIMPL, false},
};
class Invokes : public ShellFile, public testing::WithParamInterface<Invoke> {};

TEST_P(Invokes, RunTheCommandThatApplies) {
    const Invoke& c = GetParam();
    const std::wstring path = storage(L"a.demo-coffrex", c.state);
    auto menu = initialised<IContextMenu>(CLSID_StorageContextMenu, {L"a.demo-coffrex"});
    CMINVOKECOMMANDINFO info{sizeof info};
    info.lpVerb = c.verb ? c.verb : MAKEINTRESOURCEA(c.offset);
    UiRobot robot;
    EXPECT_EQ(c.result, menu->InvokeCommand(&info));
    robot.verify();
    EXPECT_EQ(c.frozenAfter, frozen(path));
    if (c.frozenAfter)
        storagefile::FreezeStorage(path, false);
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Invokes, testing::ValuesIn(kInvokes), caseName<Invoke>);

TEST_F(ShellFile, VerbsRunWithTheRobotAnsweringAndFailuresAreShown) {
    const std::wstring path = storage(L"a.demo-coffrex", Keyed);
    auto menu = initialised<IContextMenu>(CLSID_StorageContextMenu, {L"a.demo-coffrex"});
    CMINVOKECOMMANDINFO info{sizeof info};
    UiRobot robot;
    robot.expect(Box().messageBox().caption(L"Coffrex").buttons({IDYES, IDNO})).answer(IDYES);
    info.lpVerb = "cfx:detachkey";
    EXPECT_EQ(S_OK, menu->InvokeCommand(&info));
    robot.verify();
    EXPECT_EQ(0u, server::readFlags(openStorage(server_.Get(), path).Get()));
    // The file went away while the menu was open: the freeze cannot open it.
    storagefile::FreezeStorage(path, true);
    ASSERT_TRUE(MoveFileW(path.c_str(), (path + L".away").c_str()));
    robot
        .expect(Box()
                    .messageBox()
                    .caption(L"Coffrex")
                    .where(
                        [](const auto& box) {
                            return box.text.rfind(
                                       L"Unable to complete operation due to internal error.\n\n",
                                       0) == 0;
                        },
                        "the internal-error prefix"))
        .answer(IDOK);
    info.lpVerb = "cfx:freeze";
    EXPECT_EQ(S_OK, menu->InvokeCommand(&info));
    robot.verify();
}

// --- The property page, in a sheet of its own as the shell makes one ---

// The dialogs each command opens, answered as a user would.
void noDialog(UiRobot&) {}
void answerYes(UiRobot& robot) {
    robot.expect(Box().messageBox().caption(L"Coffrex").buttons({IDYES, IDNO})).answer(IDYES);
}
// A wizard, a file dialog or the certificate, closed; not the sheet itself.
void closeDialog(UiRobot& robot) {
    robot
        .expect(Box().messageBox(false).where(
            [](const auto& box) { return box.caption != L"a.demo-coffrex"; }, "not the sheet"))
        .dismiss();
}
void attachProtectedKey(UiRobot& robot) {
    robot.expect(Box().caption(L"Select a storage key to attach"))
        .fill(1148, keyFile(L"protected"))
        .answer(IDOK);
    robot.expect(Box().caption(L"Coffrex").text(L"Please, input key password:"))
        .fill(1021, L"secret")
        .answer(IDOK);
}
void seeFragmentation(UiRobot& robot) {
    robot.allow(Box().caption(L"Analysis in progress")).leaveOpen();
    robot.expect(Box().messageBox().textContaining(L"Storage is fragmented on ")).dismiss();
}
void seeFreezeFail(UiRobot& robot) {
    robot
        .expect(Box()
                    .messageBox()
                    .textContaining(L"Unable to freeze the storage.\n\n")
                    .textContaining(L"in use by another program"))
        .answer(IDOK);
}

struct PageCase {
    const char* name;
    unsigned state;
    int button;
    void (*dialogs)(UiRobot&);
    // Enabled (1) or not: View, Attach, Install, Export, Detach, Uninstall,
    // Defragment, Freeze, Unfreeze.
    const wchar_t *before, *after;
    bool frozenAfter;
    bool lockedFirst = false; // another program holds the file once the page is open
};
const PageCase kPages[] = {
    {"Freeze", Plain, IDC_TOOLS_FREEZE, noDialog, L"010000110", L"010000101", true},
    {"Unfreeze", Frozen, IDC_TOOLS_UNFREEZE, noDialog, L"010000101", L"010000110", false},
    {"FreezeFails", Plain, IDC_TOOLS_FREEZE, seeFreezeFail, L"010000110", L"010000110", false,
     true},
    {"Attach", Plain, IDC_TOOLS_ATTACH_KEY, attachProtectedKey, L"010000110", L"001110110", false},
    {"Detach", Keyed, IDC_TOOLS_DETACH_KEY, answerYes, L"001110110", L"010000110", false},
    {"InstallCancelled", Keyed, IDC_TOOLS_INSTALL_KEY, closeDialog, L"001110110", L"001110110",
     false},
    {"ExportCancelled", Keyed, IDC_TOOLS_EXPORT_KEY, closeDialog, L"001110110", L"001110110",
     false},
    {"View", Installed, IDC_TOOLS_VIEW_KEY, closeDialog, L"110001110", L"110001110", false},
    // Deleting the key freezes the storage; the page's freeze buttons follow
    // its own commands only.
    {"Uninstall", Keyed | Installed, IDC_TOOLS_UNINSTALL_KEY, answerYes, L"100111110", L"001110110",
     true},
    {"Defragment", Plain, IDC_TOOLS_DEFRAGMENT, seeFragmentation, L"010000110", L"010000110",
     false},
};
class Pages : public ShellFile, public testing::WithParamInterface<PageCase> {};

TEST_P(Pages, ButtonsFollowEachCommand) {
    const PageCase& c = GetParam();
    const std::wstring path = storage(L"a.demo-coffrex", c.state);
    auto page = initialised<IShellPropSheetExt>(CLSID_StoragePropertyPage, {L"a.demo-coffrex"});
    HPROPSHEETPAGE pages[1] = {};
    auto add = [](HPROPSHEETPAGE added, LPARAM to) {
        *reinterpret_cast<HPROPSHEETPAGE*>(to) = added;
        return TRUE;
    };
    ASSERT_EQ(S_OK, page->AddPages(add, reinterpret_cast<LPARAM>(pages)));
    PROPSHEETHEADERW header{sizeof header, PSH_MODELESS | PSH_NOAPPLYNOW};
    header.pszCaption = L"a.demo-coffrex";
    header.nPages = 1;
    header.phpage = pages;
    UiRobot robot;
    robot.allow(Box().messageBox(false).caption(L"a.demo-coffrex")).leaveOpen();
    HWND sheet = reinterpret_cast<HWND>(PropertySheetW(&header));
    ASSERT_TRUE(sheet);
    HWND tools = PropSheet_GetCurrentPageHwnd(sheet);
    auto enabled = [&] {
        std::wstring on;
        for (int id : {IDC_TOOLS_VIEW_KEY, IDC_TOOLS_ATTACH_KEY, IDC_TOOLS_INSTALL_KEY,
                       IDC_TOOLS_EXPORT_KEY, IDC_TOOLS_DETACH_KEY, IDC_TOOLS_UNINSTALL_KEY,
                       IDC_TOOLS_DEFRAGMENT, IDC_TOOLS_FREEZE, IDC_TOOLS_UNFREEZE})
            on += IsWindowEnabled(GetDlgItem(tools, id)) ? L'1' : L'0';
        return on;
    };
    EXPECT_EQ(c.before, enabled());
    FileHandle lock;
    if (c.lockedFirst) {
        check(server_->ReleaseStorage(bstr(path).get()));
        lock.reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
    }
    c.dialogs(robot);
    SendMessageW(tools, WM_COMMAND, MAKEWPARAM(c.button, BN_CLICKED), 0);
    robot.verify();
    EXPECT_EQ(c.after, enabled());
    lock.reset();
    EXPECT_EQ(c.frozenAfter, frozen(path));
    DestroyWindow(sheet);
    if (c.frozenAfter)
        storagefile::FreezeStorage(path, false);
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Pages, testing::ValuesIn(kPages), caseName<PageCase>);

} // namespace
} // namespace cfx::store::test
