// The storage file's overlays, menu and page as the shell reaches them (class
// objects, a selection from GetUIObjectOf) and the commands they run, on
// storages of the real storage server, the robot answering every box.
#include "storeserver/RemoteStorage.h"

#include "common/Base64.h"
#include "module/ClassTable.h"
#include "module/Module.h"
#include "server/CertificateStore.h"
#include "server/KeyCommands.h"
#include "server/StorageProperties.h"
#include "storagefile/Defragmentation.h"
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
using cfx::test::BoxRecord;
using cfx::test::Icon;
using cfx::test::UiRobot;
using namespace cfx::server;
using namespace cfx::storagefile;

const cfx::test::LoadedLibrary& library() {
    static cfx::test::LoadedLibrary loaded(L"cfxview.dll");
    return loaded;
}
// The commands' dialogs, icons and animations come from cfxview.dll, as in a host.
struct LibraryEnvironment : testing::Environment {
    void SetUp() override { module::attach(library().handle()); }
};
[[maybe_unused]] testing::Environment* const kLibrary =
    testing::AddGlobalTestEnvironment(new LibraryEnvironment);

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

std::wstring keyFile(const std::wstring& name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

const Certificate& protectedKey() {
    static const Certificate key = std::move(ImportPfxFile(keyFile(L"protected"), L"secret")[0]);
    return key;
}

bool installed() {
    try {
        return bool(FindByKeyIdentifier(GetKeyIdentifier(protectedKey().get())));
    } catch (const cfx::win_except&) {
        return false;
    }
}

void install() {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    checkLastError(CertAddCertificateContextToStore(my.get(), protectedKey().get(),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, 0));
}

// A box of the library with part of its text.
Box message(const std::wstring& text, Icon icon = Icon::Warning,
            std::vector<int> buttons = {IDYES, IDNO}) {
    return Box().messageBox().caption(L"Coffrex").icon(icon).buttons(buttons).textContaining(text);
}

enum State : unsigned { Plain = 0, Frozen = 1, Keyed = 2, Installed = 4 };

class ShellFile : public testing::Test {
protected:
    // A storage of the "protected" key in the given state, with a file of keep bytes.
    std::wstring storage(const wchar_t* name = L"a.demo-coffrex", unsigned state = Plain,
                         size_t keep = 0) {
        const std::wstring path = scratch_.file(name);
        const CERT_CONTEXT* c = protectedKey().get();
        root_ = createStorage(
            server_.Get(), path,
            {{c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded}, GetKeyIdentifier(c)});
        if (keep)
            writeFile(file(root_.Get(), L"kept.bin", true).Get(), patternBytes(keep, 1));
        attach(L"", state & Keyed ? kKeyAttached : 0);
        check(server_->CommitStorage(bstr(path).get()));
        if (state & Installed)
            install();
        if (state & Frozen)
            FreezeStorage(path, true);
        return path_ = path;
    }
    bool frozen(const std::wstring& path) {
        LONG state = -1;
        check(server_->GetStorageState(bstr(path).get(), &state));
        return state == StorageStateFrozen;
    }
    std::vector<BYTE> kept(const std::wstring& path) {
        return readFile(file(openStorage(server_.Get(), path).Get(), L"kept.bin", false).Get());
    }
    void attach(const std::wstring& text, ULONGLONG flags) {
        check(root_->SetProperty(StorageProperty_AttachedKey, Variant(text).get()));
        check(root_->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(flags)).get()));
    }
    std::wstring attached() { return readTextProperty(root_.Get(), StorageProperty_AttachedKey); }
    template <class I>
    ComPtr<I> initialised(const CLSID& clsid, std::vector<std::wstring> names = {L"a.demo-coffrex"},
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
            if (!path_.empty() && frozen(path_))
                FreezeStorage(path_, false);
            if (installed())
                DeleteInstalledCertificate(
                    FindByKeyIdentifier(GetKeyIdentifier(protectedKey().get())));
        } catch (...) {
            // moved away by the test
        }
    }

    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_ = connectServer();
    ComPtr<IStorageFolder> root_;
    std::wstring path_;
};

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
    if (c.damage != Directory)
        storage(L"a.demo-coffrex", Keyed), check(server_->ReleaseStorage(bstr(path).get()));
    else
        CreateDirectoryW(path.c_str(), nullptr);
    if (c.damage == RandomBytes)
        putFileBytes(path, patternBytes(5000, 3));
    if (c.damage == Truncated) {
        FileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        SetFilePointer(file.get(), 6000, nullptr, FILE_BEGIN);
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    const std::vector<BYTE> bytes = c.damage != Directory ? fileBytes(path) : std::vector<BYTE>();
    FileHandle lock(c.damage == Locked ? CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr,
                                                     OPEN_EXISTING, 0, nullptr)
                                       : INVALID_HANDLE_VALUE);
    for (const CLSID& overlay : {CLSID_FrozenOverlay, CLSID_InaccessibleOverlay, CLSID_KeyOverlay})
        EXPECT_EQ(S_FALSE, memberOf(overlay, path));
    for (const CLSID& clsid : {CLSID_StorageContextMenu, CLSID_StoragePropertyPage})
        initialised<IUnknown>(clsid, {L"a.demo-coffrex"}, c.opened);
    lock.reset();
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
    for (const CLSID& overlay : {CLSID_FrozenOverlay, CLSID_InaccessibleOverlay, CLSID_KeyOverlay})
        EXPECT_EQ(S_FALSE, memberOf(overlay, overlay == CLSID_InaccessibleOverlay ? other : path));
    auto menu = create<IShellExtInit>(CLSID_StorageContextMenu);
    EXPECT_NE(S_OK,
              menu->Initialize(nullptr, selection(scratch.path(), {L"a.demo-coffrex"}).Get(), 0));
    EXPECT_EQ(0u, runServerCommand(L"/RegServer"));
}

// The menu of a storage in each state, and a verb or an offset invoked on it,
// acting on the state read when the menu was made.
struct MenuCase {
    const char* name;
    unsigned state;
    // Offsets 1, 2, 3, 5, 6, 8, 9, 10, 11: 1 enabled, 0 greyed.
    const wchar_t* enabled;
    const char* verb;
    HRESULT result;
    bool frozenAfter;
    const wchar_t* file = L"a.demo-coffrex";
    bool background = false; // the menu of the opened storage's background: the folder's path
};
const MenuCase kMenus[] = {
    {"Plain", Plain, L"011001000", "cfx:freeze", S_OK, true},
    {"Frozen", Frozen, L"101001000", MAKEINTRESOURCEA(1), S_OK, false},
    {"Installed", Installed, L"011111000", "CFX:FREEZE", E_NOTIMPL, false},
    {"Keyed", Keyed, L"011000111", MAKEINTRESOURCEA(4), E_NOTIMPL, false}, // the sub-menu
    {"KeyedInstalledUpperCase", Keyed | Installed, L"011110101", MAKEINTRESOURCEA(12), E_NOTIMPL,
     false, L"A.DEMO-COFFREX"}, // a separator
    {"FrozenKeyedInstalledBackground", Frozen | Keyed | Installed, L"101110101", "cfx:freeze", S_OK,
     true, L"a.demo-coffrex", true},
};
class Menus : public ShellFile, public testing::WithParamInterface<MenuCase> {};

// The overlays, and the menu's entries (texts, state) above the host's "Open".
TEST_P(Menus, AndOverlaysFollowTheStoragesState) {
    const MenuCase& c = GetParam();
    const std::wstring path = storage(c.file, c.state);
    EXPECT_EQ(c.state & Frozen ? S_OK : S_FALSE, memberOf(CLSID_FrozenOverlay, path));
    EXPECT_EQ(S_FALSE, memberOf(CLSID_InaccessibleOverlay, path));
    EXPECT_EQ(c.state & Keyed ? S_OK : S_FALSE, memberOf(CLSID_KeyOverlay, path));
    auto init = create<IShellExtInit>(CLSID_StorageContextMenu);
    PIDLIST_ABSOLUTE folder = ILCreateFromPathW(path.c_str());
    EXPECT_EQ(S_OK,
              GetParam().background
                  ? init->Initialize(folder, nullptr, nullptr)
                  : init->Initialize(nullptr, selection(scratch_.path(), {c.file}).Get(), nullptr));
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
    EXPECT_EQ(c.enabled, enabled);
    EXPECT_EQ(L"Unfreeze|Freeze|Defragmentation...|View installed key...|Delete installed key...|"
              L"Attach a key...|Detach key...|Install key...|Export key...|",
              texts);
    EXPECT_EQ(7, GetMenuItemCount(host)); // a separator on either side, and "Open"
    DestroyMenu(host);
    CMINVOKECOMMANDINFO info{sizeof info};
    info.lpVerb = c.verb;
    UiRobot robot;
    EXPECT_EQ(c.result, menu->InvokeCommand(&info));
    robot.verify();
    EXPECT_EQ(c.frozenAfter, frozen(path));
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Menus, testing::ValuesIn(kMenus), caseName<MenuCase>);

TEST_F(ShellFile, CommandStringsAreBoundedToTheBuffer) {
    storage();
    auto menu = initialised<IContextMenu>(CLSID_StorageContextMenu);
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

TEST_F(ShellFile, FrozenTheFileIsFreeToMoveUntilThawed) {
    const std::wstring path = storage(L"a.demo-coffrex", Plain, 10000),
                       away = scratch_.file(L"away");
    ASSERT_TRUE(CreateDirectoryW(away.c_str(), nullptr));
    EXPECT_FALSE(MoveFileW(path.c_str(), (path + L"2").c_str())) << "the server let go unasked";
    UiRobot robot;
    ASSERT_TRUE(freezeCommand(nullptr, path));
    EXPECT_TRUE(freezeCommand(nullptr, path) && frozen(path));
    std::wstring from = path; // renamed, moved away and back
    for (const std::wstring& to : {path + L"2", away + L"\\held", path})
        ASSERT_TRUE(MoveFileW(std::exchange(from, to).c_str(), to.c_str()));
    ASSERT_TRUE(unfreezeCommand(nullptr, path));
    robot.verify();
    EXPECT_FALSE(frozen(path));
    EXPECT_EQ(patternBytes(10000, 1), kept(path));
}

// File sizes that leave 25 and 26 percent of the compound file unused: the
// stream grows ahead of the writes and is cut back at the commit.
constexpr size_t kKept25 = 96 * 4096 - 100, kKept26 = 95 * 4096 - 100;
struct Analysis {
    const char* name;
    size_t kept;
    unsigned state; // frozen by the user, before, or not
    int percent, answer;
};
const Analysis kAnalyses[] = {
    {"Quarter", kKept25, Plain, 25, IDOK},
    {"Declined", kKept26, Plain, 26, IDNO},
    {"Defragmented", kKept26, Plain, 26, IDYES},
    {"FrozenStaysFrozen", kKept26, Frozen, 26, IDYES},
};
class Fragmentation : public ShellFile, public testing::WithParamInterface<Analysis> {};

TEST_P(Fragmentation, ShowsThePercentAndDefragmentsOnYes) {
    const Analysis& c = GetParam();
    const std::wstring path = storage(L"a.demo-coffrex", c.state, c.kept);
    const ULONGLONG before = fileSize(path);
    UiRobot robot;
    robot.allow(Box().messageBox(false)).leaveOpen(); // the animated waits, closed by themselves
    const std::wstring text = L"Storage is fragmented on " + std::to_wstring(c.percent) + L"%.\n";
    robot
        .expect(c.percent <= 25
                    ? message(text + L"It does not need deframentation.", Icon::Information, {IDOK})
                    : message(text + L"To start defragmentation press OK.\n\nNote: The "
                                     L"storage will be temporary frozen."))
        .answer(c.answer);
    if (c.answer == IDYES)
        robot.expect(message(L"Defragmentation has finished", Icon::Information, {IDOK}))
            .answer(IDOK);
    AnalyseAndDefragment(nullptr, path);
    robot.verify();
    EXPECT_EQ(c.state == Frozen, frozen(path));
    EXPECT_EQ(c.answer == IDYES, fileSize(path) < before);
    if (c.state == Frozen)
        FreezeStorage(path, false);
    EXPECT_EQ(patternBytes(c.kept, 1), c.kept ? kept(path) : std::vector<BYTE>());
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Fragmentation, testing::ValuesIn(kAnalyses),
                         caseName<Analysis>);

constexpr int kFileName = 1148; // cmb13 of the common file dialogs

Box fileDialog(const wchar_t* title) {
    return Box().messageBox(false).caption(title).where(
        [](const BoxRecord& box) {
            const auto* types = box.control(1136); // cmb1
            return types && types->text == L"PKCS#12 files (*.pfx)";
        },
        "the .pfx filter");
}

// Rounds of a key file and its password; after a failed last one the user
// cancels the file dialog. Only the storage's own key is attached.
struct Attach {
    const char* name;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> rounds;
    bool attached;
};
const Attach kAttaches[] = {
    {"RightKey", {{L"protected", L"secret"}}, true},
    {"WrongPasswordThenRightOne", {{L"protected", L"wrong"}, {L"protected", L"secret"}}, true},
    {"ForeignKey", {{L"foreign", L"secret"}}, false},
    {"FirstOfTwoCertificatesDecides", {{L"protected_foreign", L"secret"}}, true},
    {"SecondOfTwoCertificatesIgnored", {{L"foreign_protected", L"secret"}}, false},
};
class AttachKeys : public ShellFile, public testing::WithParamInterface<Attach> {};

TEST_P(AttachKeys, AttachOnlyTheStoragesKey) {
    const std::wstring path = storage();
    const auto& rounds = GetParam().rounds;
    const bool yes = GetParam().attached;
    UiRobot robot;
    for (size_t i = 0; i < rounds.size(); ++i) {
        robot.expect(fileDialog(L"Select a storage key to attach"))
            .fill(kFileName, keyFile(rounds[i].first))
            .answer(IDOK);
        robot.expect(Box().caption(L"Coffrex").text(L"Please, input key password:"))
            .fill(1021, rounds[i].second)
            .answer(IDOK);
        if (i + 1 < rounds.size() || !yes)
            robot
                .expect(message(L"does not belong to this storage  or the password", Icon::Warning,
                                {IDOK}))
                .answer(IDOK);
    }
    if (!yes)
        robot.expect(fileDialog(L"Select a storage key to attach")).answer(IDCANCEL);
    EXPECT_EQ(yes, AttachKey(nullptr, path));
    robot.verify();
    EXPECT_EQ(yes ? toBase64(fileBytes(keyFile(rounds.back().first))) : L"", attached());
    EXPECT_EQ(yes ? kKeyAttached : 0, readFlags(root_.Get()));
}
INSTANTIATE_TEST_SUITE_P(ShellFile, AttachKeys, testing::ValuesIn(kAttaches), caseName<Attach>);

TEST_F(ShellFile, DetachAsksFirstAndKeepsTheOtherFlags) {
    const std::wstring path = storage();
    for (const int answer : {IDNO, IDYES}) {
        attach(L"QUJD", 0x5);
        UiRobot robot;
        robot.expect(message(L"Do you really want to remove attached key?")).answer(answer);
        EXPECT_EQ(answer == IDYES, DetachKey(nullptr, path));
        robot.verify();
        EXPECT_EQ(answer == IDYES ? 0x4 : 0x5, readFlags(root_.Get()));
        EXPECT_EQ(answer == IDYES ? L"" : L"QUJD", attached());
    }
}

// The attached key through the wizard: a key file, text that is no Base64,
// bytes that are no PKCS#12 file, and nothing attached. No key file is left
// in the temporary folder and nothing is installed.
TEST_F(ShellFile, InstallingTheAttachedKeyLeavesNoTemporaryFile) {
    const std::wstring path = storage();
    const struct {
        std::wstring text;
        ULONGLONG flags;
        bool wizard;
    } cases[] = {{toBase64(fileBytes(keyFile(L"protected"))), kKeyAttached, true},
                 {L"QUJDR", kKeyAttached, false},
                 {toBase64(patternBytes(3000, 5)), kKeyAttached, true},
                 {L"", 0, false}};
    wchar_t folder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder);
    for (const auto& c : cases) {
        attach(c.text, c.flags);
        UiRobot robot;
        if (c.wizard) // the system's
            robot
                .expect(Box().messageBox(false).where(
                    [](const BoxRecord& box) { return !box.button(IDYES); }, "a wizard"))
                .dismiss();
        robot.allow(Box().messageBox()).dismiss();
        if (c.text == L"QUJDR")
            EXPECT_THROW(InstallAttachedKey(nullptr, path), std::invalid_argument);
        else
            EXPECT_EQ(c.wizard, InstallAttachedKey(nullptr, path));
        robot.verify();
        WIN32_FIND_DATAW found;
        EXPECT_FALSE(
            FindHandle(FindFirstFileW((folder + std::wstring(L"\\*.pfx")).c_str(), &found)));
        EXPECT_EQ(c.text, attached());
        EXPECT_FALSE(installed());
    }
}

// With a key attached or not, the user is warned; on Yes the storage is
// frozen and the key goes.
TEST_F(ShellFile, DeleteAsksThenFreezesTheStorageAndTheKeyGoes) {
    const std::wstring path = storage();
    EXPECT_FALSE(DeleteKey(nullptr, path)) << "no key installed: nothing to ask";
    install();
    UiRobot robot;
    robot.expect(message(L"WARNING: You have no storage key attached.")).answer(IDNO);
    EXPECT_FALSE(DeleteKey(nullptr, path));
    EXPECT_TRUE(installed() && !frozen(path));
    attach(L"QUJD", kKeyAttached);
    robot.expect(message(L"key for current user account?\n\nYou have a key attached"))
        .answer(IDYES);
    EXPECT_FALSE(DeleteKey(nullptr, path));
    robot.verify();
    EXPECT_FALSE(installed());
    EXPECT_TRUE(frozen(path));
}

// --- The property page, in a sheet of its own as the shell makes one ---

struct PageCase {
    const char* name;
    unsigned state;
    int button;
    bool asks; // the command asks a question, answered Yes
    // Enabled (1) or not: View, Attach, Install, Export, Detach, Uninstall,
    // Defragment, Freeze, Unfreeze.
    const wchar_t *before, *after;
    bool frozenAfter;
};
const PageCase kPages[] = {
    {"Freeze", Plain, IDC_TOOLS_FREEZE, false, L"010000110", L"010000101", true},
    {"Detach", Keyed, IDC_TOOLS_DETACH_KEY, true, L"001110110", L"010000110", false},
    // Deleting the key freezes the storage; the freeze buttons follow the page's own commands.
    {"Uninstall", Keyed | Installed, IDC_TOOLS_UNINSTALL_KEY, true, L"100111110", L"001110110",
     true},
};
class Pages : public ShellFile, public testing::WithParamInterface<PageCase> {};

TEST_P(Pages, ButtonsFollowEachCommand) {
    const PageCase& c = GetParam();
    const std::wstring path = storage(L"a.demo-coffrex", c.state);
    HPROPSHEETPAGE added = nullptr;
    auto add = [](HPROPSHEETPAGE page, LPARAM to) {
        return *reinterpret_cast<HPROPSHEETPAGE*>(to) = page, TRUE;
    };
    ASSERT_EQ(S_OK, initialised<IShellPropSheetExt>(CLSID_StoragePropertyPage)
                        ->AddPages(add, reinterpret_cast<LPARAM>(&added)));
    PROPSHEETHEADERW header{sizeof header, PSH_MODELESS | PSH_NOAPPLYNOW};
    header.pszCaption = L"a.demo-coffrex";
    header.nPages = 1;
    header.phpage = &added;
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
    if (c.asks)
        robot.expect(Box().messageBox().caption(L"Coffrex").buttons({IDYES, IDNO})).answer(IDYES);
    SendMessageW(tools, WM_COMMAND, MAKEWPARAM(c.button, BN_CLICKED), 0);
    robot.verify();
    EXPECT_EQ(c.after, enabled());
    EXPECT_EQ(c.frozenAfter, frozen(path));
    DestroyWindow(sheet);
}
INSTANTIATE_TEST_SUITE_P(ShellFile, Pages, testing::ValuesIn(kPages), caseName<PageCase>);

} // namespace
} // namespace cfx::store::test
