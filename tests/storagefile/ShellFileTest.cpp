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

namespace cfx::store::test {
namespace {

using cfx::test::Box;
using cfx::test::UiRobot;

template <class Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

template <class I> ComPtr<I> create(const CLSID& clsid) {
    static cfx::test::LoadedLibrary library(L"cfxview.dll");
    ComPtr<IClassFactory> factory;
    ComPtr<I> object;
    check(library.getClassObject(clsid, IID_PPV_ARGS(&factory)));
    check(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)));
    return object;
}

HRESULT memberOf(const CLSID& overlay, const std::wstring& path) {
    return create<IShellIconOverlayIdentifier>(overlay)->IsMemberOf(path.c_str(), 0);
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

enum State : unsigned { Plain = 0, Frozen = 1, Keyed = 2, Installed = 4 };

class ShellFile : public testing::Test {
protected:
    // A storage of the "protected" key in the given state.
    std::wstring storage(const wchar_t* name, unsigned state = Plain) {
        const std::wstring path = scratch_.file(name);
        const Certificate key = std::move(server::ImportPfxFile(
            cfx::test::programFolder() + L"testkeys\\protected.pfx", L"secret")[0]);
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
        return frozenPath_ = path;
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
    // Thawed, so that the scratch folder goes; the installed key taken away.
    void TearDown() override {
        try {
            if (!frozenPath_.empty() && frozen(frozenPath_))
                storagefile::FreezeStorage(frozenPath_, false);
            if (!installedId_.empty())
                server::DeleteInstalledCertificate(server::FindByKeyIdentifier(installedId_));
        } catch (...) {
            // a test deleted or moved it
        }
    }

    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_ = connectServer();
    std::vector<BYTE> installedId_;
    std::wstring frozenPath_;
};

// --- Overlays: frozen, inaccessible, key ---

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
    {"UpperCase", L"A.DEMO-COFFREX", Frozen | Keyed, S_OK, S_FALSE, S_OK},
    // Another name: the extension decides before any server call.
    {"OtherType", L"a.demo-coffrex.txt", Frozen | Keyed, S_FALSE, S_FALSE, S_FALSE},
};
class Overlays : public ShellFile, public testing::WithParamInterface<OverlayCase> {};

TEST_P(Overlays, MarkWhatTheServerSays) {
    const OverlayCase& c = GetParam();
    const std::wstring path = storage(c.file, c.state);
    EXPECT_EQ(c.frozen, memberOf(CLSID_FrozenOverlay, path));
    EXPECT_EQ(c.inaccessible, memberOf(CLSID_InaccessibleOverlay, path));
    EXPECT_EQ(c.key, memberOf(CLSID_KeyOverlay, path));
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Overlays, testing::ValuesIn(kOverlayCases),
                         caseName<OverlayCase>);

// --- Files that are not storages to be had: every handler answers, and the
// file keeps its bytes ---

enum Damage { Locked, Directory, RandomBytes, Truncated };
struct BadCase {
    const char* name;
    Damage damage;
    HRESULT opened; // the menu's and the page's Initialize
};
const BadCase kBadCases[] = {
    {"LockedByAnotherProgram", Locked, STG_E_SHAREVIOLATION},
    {"FolderWithTheExtension", Directory, STG_E_ACCESSDENIED},
    {"RandomBytes", RandomBytes, STG_E_DOCFILECORRUPT},
    {"Truncated", Truncated, STG_E_DOCFILECORRUPT},
};
class BadFiles : public ShellFile, public testing::WithParamInterface<BadCase> {};

TEST_P(BadFiles, AreNeitherFrozenNorKeyedOpenNothingAndLoseNothing) {
    const BadCase& c = GetParam();
    const std::wstring path = scratch_.file(L"a.demo-coffrex");
    if (c.damage == Directory) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    } else {
        storage(L"a.demo-coffrex", Keyed);
        check(server_->ReleaseStorage(bstr(path).get()));
    }
    if (c.damage == RandomBytes)
        putFileBytes(path, patternBytes(5000, 3));
    if (c.damage == Truncated) {
        FileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        SetFilePointer(file.get(), 6000, nullptr, FILE_BEGIN);
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    const std::vector<BYTE> bytes = c.damage != Directory ? fileBytes(path) : std::vector<BYTE>();
    FileHandle file(c.damage == Locked ? CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr,
                                                     OPEN_EXISTING, 0, nullptr)
                                       : INVALID_HANDLE_VALUE);
    EXPECT_EQ(S_FALSE, memberOf(CLSID_FrozenOverlay, path));
    EXPECT_EQ(S_FALSE, memberOf(CLSID_InaccessibleOverlay, path));
    EXPECT_EQ(S_FALSE, memberOf(CLSID_KeyOverlay, path));
    for (const CLSID& clsid : {CLSID_StorageContextMenu, CLSID_StoragePropertyPage})
        initialised<IUnknown>(clsid, {L"a.demo-coffrex"}, c.opened);
    file.reset();
    check(server_->ReleaseStorage(bstr(path).get()));
    EXPECT_EQ(bytes, c.damage != Directory ? fileBytes(path) : std::vector<BYTE>());
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

// The entries above the host's own "Open", their texts and state.
TEST_P(Menus, FollowTheStoragesState) {
    const std::wstring path = storage(L"a.demo-coffrex", GetParam().state);
    auto init = create<IShellExtInit>(CLSID_StorageContextMenu);
    PIDLIST_ABSOLUTE folder = ILCreateFromPathW(path.c_str());
    EXPECT_EQ(S_OK,
              GetParam().background
                  ? init->Initialize(folder, nullptr, nullptr)
                  : init->Initialize(nullptr, selection(scratch_.path(), {L"a.demo-coffrex"}).Get(),
                                     nullptr));
    ILFree(folder);
    ComPtr<IContextMenu> menu;
    check(init.As(&menu));
    HMENU host = CreatePopupMenu();
    AppendMenuW(host, MF_STRING, 1, L"Open");
    EXPECT_EQ(0, menu->QueryContextMenu(host, 0, 100, 0x7FFF, CMF_DEFAULTONLY));
    EXPECT_EQ(18, menu->QueryContextMenu(host, 0, 100, 0x7FFF, CMF_NORMAL));
    std::wstring enabled, texts;
    for (UINT offset : {1, 2, 3, 5, 6, 8, 9, 10, 11}) {
        wchar_t text[64] = L"";
        GetMenuStringW(host, 100 + offset, text, 64, MF_BYCOMMAND);
        texts += std::wstring(text) + L"|";
        enabled += GetMenuState(host, 100 + offset, MF_BYCOMMAND) & MF_GRAYED ? L'0' : L'1';
    }
    EXPECT_EQ(GetParam().enabled, enabled);
    EXPECT_EQ(L"Unfreeze|Freeze|Defragmentation...|View installed key...|Delete installed key...|"
              L"Attach a key...|Detach key...|Install key...|Export key...|",
              texts);
    EXPECT_EQ(7, GetMenuItemCount(host)); // a separator on either side, and "Open"
    DestroyMenu(host);
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
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Invokes, testing::ValuesIn(kInvokes), caseName<Invoke>);

// --- The property page, in a sheet of its own as the shell makes one ---

struct PageCase {
    const char* name;
    unsigned state;
    int button;
    // Enabled (1) or not: View, Attach, Install, Export, Detach, Uninstall,
    // Defragment, Freeze, Unfreeze.
    const wchar_t *before, *after;
    bool frozenAfter;
    const wchar_t* question; // answered Yes; an error box when another program holds the file
};
const PageCase kPages[] = {
    {"Freeze", Plain, IDC_TOOLS_FREEZE, L"010000110", L"010000101", true, nullptr},
    {"Unfreeze", Frozen, IDC_TOOLS_UNFREEZE, L"010000101", L"010000110", false, nullptr},
    {"FreezeFails", Plain, IDC_TOOLS_FREEZE, L"010000110", L"010000110", false,
     L"Unable to freeze the storage.\n\n"},
    {"Detach", Keyed, IDC_TOOLS_DETACH_KEY, L"001110110", L"010000110", false,
     L"Do you really want to remove attached key?"},
    // Deleting the key freezes the storage; the page's freeze buttons follow
    // its own commands only.
    {"Uninstall", Keyed | Installed, IDC_TOOLS_UNINSTALL_KEY, L"100111110", L"001110110", true,
     L"Do you really want to delete installed storage key"},
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
    if (c.question && c.button == IDC_TOOLS_FREEZE) {
        check(server_->ReleaseStorage(bstr(path).get()));
        lock.reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        robot
            .expect(Box()
                        .messageBox()
                        .textContaining(c.question)
                        .textContaining(L"in use by another program"))
            .answer(IDOK);
    } else if (c.question) {
        robot.expect(Box().messageBox().caption(L"Coffrex").textContaining(c.question))
            .answer(IDYES);
    }
    SendMessageW(tools, WM_COMMAND, MAKEWPARAM(c.button, BN_CLICKED), 0);
    robot.verify();
    EXPECT_EQ(c.after, enabled());
    lock.reset();
    EXPECT_EQ(c.frozenAfter, frozen(path));
    DestroyWindow(sheet);
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Pages, testing::ValuesIn(kPages), caseName<PageCase>);

} // namespace
} // namespace cfx::store::test
