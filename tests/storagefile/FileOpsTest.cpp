// Freezing, defragmentation and the key commands on storages of the real
// storage server, run as the storage file's menu and page run them. The robot
// answers every box and dialog (the common file dialogs and the system's
// certificate windows included) and checks its text, caption and style.
#include "storeserver/RemoteStorage.h"

#include "common/Base64.h"
#include "module/Module.h"
#include "server/CertificateStore.h"
#include "server/KeyCommands.h"
#include "server/StorageProperties.h"
#include "storagefile/Defragmentation.h"
#include "storagefile/StorageFreeze.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <functional>
#include <memory>

namespace cfx::store::test {
namespace {

using cfx::test::Box;
using cfx::test::BoxRecord;
using cfx::test::Icon;
using cfx::test::UiRobot;
using namespace cfx::server;
using namespace cfx::storagefile;
using Events = std::vector<std::pair<LONG, bool>>;

// The dialogs, icons and animations come from cfxview.dll, as in a host.
struct LibraryEnvironment : testing::Environment {
    void SetUp() override { module::attach(library->handle()); }
    std::unique_ptr<cfx::test::LoadedLibrary> library =
        std::make_unique<cfx::test::LoadedLibrary>(L"cfxview.dll");
};
[[maybe_unused]] testing::Environment* const kLibrary =
    testing::AddGlobalTestEnvironment(new LibraryEnvironment);

template <class Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

Box messageBox(const std::wstring& text, Icon icon, std::vector<int> buttons) {
    return Box().messageBox().caption(L"Coffrex").text(text).icon(icon).buttons(std::move(buttons));
}

Box errorBox(const std::wstring& prefix) {
    return Box()
        .messageBox()
        .caption(L"Coffrex")
        .icon(Icon::Error)
        .where([prefix](const BoxRecord& box) { return box.text.rfind(prefix + L"\n\n", 0) == 0; },
               "the text starts with " + narrow(prefix));
}

// Template 123: an animation and a line of text; no button, no close box.
void expectWait(UiRobot& robot, const wchar_t* title, const wchar_t* text) {
    robot
        .expect(Box().messageBox(false).caption(title).text(text).where(
            [](const BoxRecord& box) {
                const auto* clip = box.control(1014);
                return clip && clip->className == L"SysAnimate32" && box.buttons.empty() &&
                       !(GetWindowLongW(box.window, GWL_STYLE) & WS_SYSMENU);
            },
            "an animation, no button, no close box"))
        .leaveOpen();
}

// The analysis, its box answered, and the defragmentation after a Yes; what
// the user does while reading the box, before answering.
void expectAnalysis(
    UiRobot& robot, int percent, int answer, std::function<void()> reading = [] {}) {
    expectWait(robot, L"Analysis in progress",
               L"Please wait several minutes until analysis process will finish...");
    std::wstring text = L"Storage is fragmented on " + std::to_wstring(percent) + L"%.\n";
    Box box = percent <= 25 ? messageBox(text + L"It does not need deframentation.",
                                         Icon::Information, {IDOK})
                            : messageBox(text + L"To start defragmentation press OK.\n\nNote: "
                                                L"The storage will be temporary frozen.",
                                         Icon::Warning, {IDYES, IDNO});
    robot.expect(box.where([=](const BoxRecord&) { return reading(), true; }, "(read)"))
        .answer(answer);
    if (answer == IDYES)
        expectWait(robot, L"Defragmentation is in progress...",
                   L"Please wait several minutes until defragmentation will finish...");
}

// The shell's change notifications below a folder, as Explorer gets them,
// each with what probe answered when it came.
struct ShellEvents {
    ShellEvents(
        const std::wstring& folder, std::function<bool()> probeWith = [] { return true; })
        : probe(std::move(probeWith)) {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&proc));
        SHChangeNotifyEntry entry{ILCreateFromPathW(folder.c_str()), TRUE};
        id = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_InterruptLevel,
                                    SHCNE_ALLEVENTS, WM_APP, 1, &entry);
        ILFree(const_cast<LPITEMIDLIST>(entry.pidl));
    }
    ~ShellEvents() { SHChangeNotifyDeregister(id), DestroyWindow(window); }
    Events take() {
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&message);
        return std::move(events);
    }
    static LRESULT CALLBACK proc(HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ShellEvents*>(GetWindowLongPtrW(to, GWLP_USERDATA));
        if (message == WM_APP)
            self->events.emplace_back(static_cast<LONG>(lParam), self->probe());
        return DefWindowProcW(to, message, wParam, lParam);
    }
    std::function<bool()> probe;
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    ULONG id;
    Events events;
};
const Events kRefreshed = {{SHCNE_DELETE, true}, {SHCNE_CREATE, true}};

std::wstring keyFile(const std::wstring& name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

Certificate keyOf(const std::wstring& name) {
    return std::move(ImportPfxFile(keyFile(name), L"secret").front());
}

bool installed(const Certificate& key) {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    const std::vector<BYTE> id = GetKeyIdentifier(key.get());
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(id.size()), const_cast<BYTE*>(id.data())};
    return Certificate(CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0,
                                                  CERT_FIND_KEY_IDENTIFIER, &blob, nullptr))
               .get() != nullptr;
}

void install(const Certificate& key) {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), key.get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

class FileOps : public testing::Test {
protected:
    // A storage for the "protected" key, with a file of keep bytes.
    std::wstring storage(const wchar_t* name, size_t keep = 0) {
        const std::wstring path = scratch_.file(name);
        const Certificate key = keyOf(L"protected");
        const CERT_CONTEXT* c = key.get();
        root_ =
            createStorage(server_.Get(), path,
                          {std::vector<BYTE>(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded),
                           GetKeyIdentifier(c)});
        if (keep)
            writeFile(file(root_.Get(), L"kept.bin", true).Get(), patternBytes(keep, 1));
        check(server_->CommitStorage(bstr(path).get()));
        return path;
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
        const Variant value(text);
        check(root_->SetProperty(StorageProperty_AttachedKey, value.get()));
        check(root_->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(flags)).get()));
    }
    std::wstring attached() { return readTextProperty(root_.Get(), StorageProperty_AttachedKey); }

    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_ = connectServer();
    ComPtr<IStorageFolder> root_;
};

TEST_F(FileOps, FrozenTheFileIsFreeToMoveUntilThawed) {
    const std::wstring path = storage(L"held.demo-coffrex", 10000), away = scratch_.file(L"away");
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

// Bad paths: missing, and a file that is no container.
struct BadPath {
    const char* name;
    const char* contents; // nullptr: no file
    void (*run)(const std::wstring& path);
    const wchar_t* prefix;
};
const BadPath kBadPaths[] = {
    {"FreezeMissing", nullptr, [](auto& p) { EXPECT_FALSE(freezeCommand(0, p)); },
     L"Unable to freeze the storage."},
    {"UnfreezeMissing", nullptr, [](auto& p) { EXPECT_FALSE(unfreezeCommand(0, p)); },
     L"Unable to unfreeze the storage."},
    {"FreezeText", "text", [](auto& p) { EXPECT_FALSE(freezeCommand(0, p)); },
     L"Unable to freeze the storage."},
    {"AnalyseMissing", nullptr, [](auto& p) { AnalyseAndDefragment(0, p); },
     L"Unable to complete operation."},
    {"AnalyseText", "text", [](auto& p) { AnalyseAndDefragment(0, p); },
     L"Unable to complete operation."},
};
class BadPaths : public FileOps, public testing::WithParamInterface<BadPath> {};

TEST_P(BadPaths, ShowTheirPrefixAndLeaveTheFile) {
    const std::wstring path = scratch_.file(L"bad.demo-coffrex");
    if (const char* contents = GetParam().contents)
        putFileBytes(path, std::vector<BYTE>(contents, contents + std::strlen(contents)));
    UiRobot robot;
    robot.expect(errorBox(GetParam().prefix)).answer(IDOK);
    GetParam().run(path);
    robot.verify();
    const std::vector<BYTE> left = GetParam().contents ? fileBytes(path) : std::vector<BYTE>();
    EXPECT_EQ(GetParam().contents ? GetParam().contents : "",
              std::string(left.begin(), left.end()));
}
INSTANTIATE_TEST_SUITE_P(FileOps, BadPaths, testing::ValuesIn(kBadPaths), caseName<BadPath>);

// File sizes that leave 25 and 26 percent of the compound file unused: the
// stream grows ahead of the writes and is cut back at the commit.
constexpr size_t kKept25 = 96 * 4096 - 100, kKept26 = 95 * 4096 - 100;
struct Analysis {
    const char* name;
    size_t kept;
    bool frozen; // by the user, before
    int percent;
    int answer;
};
const Analysis kAnalyses[] = {
    {"Empty", 0, false, 0, IDOK},
    {"Quarter", kKept25, false, 25, IDOK},
    {"Declined", kKept26, false, 26, IDNO},
    {"Defragmented", kKept26, false, 26, IDYES},
    {"FrozenStaysFrozen", kKept26, true, 26, IDYES},
};
class Fragmentation : public FileOps, public testing::WithParamInterface<Analysis> {};

TEST_P(Fragmentation, ShowsThePercentAndDefragmentsOnYes) {
    const Analysis& c = GetParam();
    const std::wstring path = storage(L"storage.demo-coffrex", c.kept);
    if (c.frozen)
        FreezeStorage(path, true);
    const ULONGLONG before = fileSize(path);
    UiRobot robot;
    expectAnalysis(robot, c.percent, c.answer);
    if (c.answer == IDYES)
        robot
            .expect(
                messageBox(L"Defragmentation has finished successfully", Icon::Information, {IDOK}))
            .answer(IDOK);
    AnalyseAndDefragment(nullptr, path);
    robot.verify();
    EXPECT_EQ(c.frozen, frozen(path));
    EXPECT_EQ(c.answer == IDYES, fileSize(path) < before);
    if (c.frozen)
        FreezeStorage(path, false);
    if (c.kept) {
        EXPECT_EQ(patternBytes(c.kept, 1), kept(path));
    }
}
INSTANTIATE_TEST_SUITE_P(FileOps, Fragmentation, testing::ValuesIn(kAnalyses), caseName<Analysis>);

// Killing the server spoils activation for the rest of a Wine session: run alone.
using ServerKilled = FileOps;
TEST_F(ServerKilled, AFailedDefragmentationShowsItsPrefixAndLeavesTheStorage) {
    const std::wstring path = storage(L"killed.demo-coffrex", kKept26);
    KernelHandle server(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverProcessOf(server_.Get())));
    std::vector<BYTE> before;
    UiRobot robot;
    // The server dies while the user reads the question.
    expectAnalysis(robot, 26, IDYES, [&] {
        if (before.empty() && (before = fileBytes(path), TerminateProcess(server.get(), 9)))
            WaitForSingleObject(server.get(), 10000);
    });
    robot.expect(errorBox(L"Unable to defragment storage")).answer(IDOK);
    AnalyseAndDefragment(nullptr, path);
    robot.verify();
    root_.Reset();
    server_.Reset();
    EXPECT_EQ(before, fileBytes(path));
    install(keyOf(L"protected"));
    auto container = Container::open(path);
    unlockWithInstalledKey(*container);
    FileStream stream = container->root().item(L"kept.bin").openStream();
    std::vector<BYTE> read(kKept26 + 1);
    read.resize(stream.read(0, read.data(), static_cast<ULONG>(read.size())));
    EXPECT_EQ(patternBytes(kKept26, 1), read);
}

// --- The key commands, on a storage of the "protected" key ---

constexpr int kFileName = 1148;  // cmb13 of the common file dialogs
constexpr int kFileTypes = 1136; // cmb1

Box fileDialog(const wchar_t* title) {
    return Box().messageBox(false).caption(title).where(
        [](const BoxRecord& box) {
            const auto* types = box.control(kFileTypes);
            return types && types->text == L"PKCS#12 files (*.pfx)";
        },
        "the .pfx filter");
}

Box wizard() {
    return Box().messageBox(false).where([](const BoxRecord& box) { return !box.button(IDYES); },
                                         "the system's wizard");
}

// Rounds of a key file and its password; after a failed last one the user
// cancels the file dialog.
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
class AttachKeys : public FileOps, public testing::WithParamInterface<Attach> {};

TEST_P(AttachKeys, AttachOnlyTheStoragesKey) {
    const std::wstring path = storage(L"keys.demo-coffrex");
    const auto& rounds = GetParam().rounds;
    ShellEvents events(scratch_.path());
    UiRobot robot;
    for (size_t i = 0; i < rounds.size(); ++i) {
        robot.expect(fileDialog(L"Select a storage key to attach"))
            .fill(kFileName, keyFile(rounds[i].first))
            .answer(IDOK);
        robot.expect(Box().caption(L"Coffrex").text(L"Please, input key password:"))
            .fill(1021, rounds[i].second)
            .answer(IDOK);
        if (i + 1 < rounds.size() || !GetParam().attached)
            robot
                .expect(messageBox(L"The key you have selected does not belong to this storage  "
                                   L"or the password is invalid.\nPlease, select an appropriate "
                                   L"key or try another password.",
                                   Icon::Warning, {IDOK}))
                .answer(IDOK);
    }
    if (!GetParam().attached)
        robot.expect(fileDialog(L"Select a storage key to attach")).answer(IDCANCEL);
    EXPECT_EQ(GetParam().attached, AttachKey(nullptr, path));
    robot.verify();
    const bool yes = GetParam().attached;
    EXPECT_EQ(yes ? toBase64(fileBytes(keyFile(rounds.back().first))) : L"", attached());
    EXPECT_EQ(yes ? kKeyAttached : 0, readFlags(root_.Get()));
    EXPECT_EQ(yes ? kRefreshed : Events(), events.take());
}
INSTANTIATE_TEST_SUITE_P(FileOps, AttachKeys, testing::ValuesIn(kAttaches), caseName<Attach>);

TEST_F(FileOps, DetachAsksFirstAndKeepsTheOtherFlags) {
    const std::wstring path = storage(L"keys.demo-coffrex");
    const struct {
        ULONGLONG flags;
        int answer;
        bool detached;
    } cases[] = {{0x5, IDNO, false}, {0x4, IDYES, false}, {0x5, IDYES, true}};
    for (const auto& c : cases) {
        attach(L"QUJD", c.flags);
        UiRobot robot;
        robot
            .expect(messageBox(L"Do you really want to remove attached key?\n\nNote: If you don't "
                               L"have a reserve copy of the key than you couldn't access a "
                               L"storage any more and all data inside the storage will be lost.",
                               Icon::Warning, {IDYES, IDNO}))
            .answer(c.answer);
        EXPECT_EQ(c.detached, DetachKey(nullptr, path));
        robot.verify();
        EXPECT_EQ(c.detached ? 0x4 : c.flags, readFlags(root_.Get()));
        EXPECT_EQ(c.detached ? L"" : L"QUJD", attached());
    }
}

TEST_F(FileOps, ExportReplacesTheFileAndTheUserMayNotBeAskedAgain) {
    const std::wstring path = storage(L"keys.demo-coffrex"), target = scratch_.file(L"out.pfx");
    EXPECT_FALSE(ExportAttachedKey(nullptr, path)) << "nothing attached";
    const std::vector<BYTE> key = fileBytes(keyFile(L"protected"));
    attach(toBase64(key), kKeyAttached);
    CloseHandle(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const Box ask =
        Box()
            .messageBox(false)
            .caption(L"Coffrex")
            .buttons({IDYES, IDNO})
            .text(L"The key was successfuly exported.\n\nDo you want to install it right now?");
    UiRobot robot;
    // "out" gets the default extension; no question before replacing the file.
    robot.expect(fileDialog(L"Storage key export"))
        .fill(kFileName, scratch_.file(L"out"))
        .answer(IDOK);
    robot.expect(ask).answer(IDNO);
    EXPECT_TRUE(ExportAttachedKey(nullptr, path));
    EXPECT_EQ(key, fileBytes(target));
    // Once the user chose not to be asked again (the shell keeps the choice
    // there; Wine 8's box does not store it), the key goes to the wizard unasked.
    SHSetValueW(
        HKEY_CURRENT_USER,
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DontShowMeThisDialogAgain",
        L"{B8E25D74-0F3A-4C19-86D2-E59A4C1B7F03}", REG_SZ, L"no", 6);
    robot.expect(fileDialog(L"Storage key export")).fill(kFileName, target).answer(IDOK);
    robot.expect(wizard()).dismiss();
    EXPECT_TRUE(ExportAttachedKey(nullptr, path));
    robot.verify();
}

std::vector<std::wstring> temporaryKeyFiles() {
    wchar_t folder[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, TRUE);
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((std::wstring(folder) + L"\\*.pfx").c_str(), &found));
    for (bool more = bool(search); more; more = FindNextFileW(search.get(), &found))
        names.push_back(found.cFileName);
    return names;
}

// The attached key through the wizard: a key file, text that is no Base64,
// bytes that are no PKCS#12 file, and nothing attached.
TEST_F(FileOps, InstallingTheAttachedKeyLeavesNoTemporaryFile) {
    const std::wstring path = storage(L"keys.demo-coffrex");
    const struct {
        std::wstring text;
        ULONGLONG flags;
        bool wizard;
    } cases[] = {{toBase64(fileBytes(keyFile(L"protected"))), kKeyAttached, true},
                 {L"QUJDR", kKeyAttached, false},
                 {toBase64(patternBytes(3000, 5)), kKeyAttached, true},
                 {L"", 0, false}};
    for (const auto& c : cases) {
        attach(c.text, c.flags);
        UiRobot robot;
        if (c.wizard)
            robot.expect(wizard()).dismiss();
        robot.allow(Box().messageBox()).dismiss();
        if (c.text == L"QUJDR")
            EXPECT_THROW(InstallAttachedKey(nullptr, path), std::invalid_argument);
        else
            EXPECT_EQ(c.wizard, InstallAttachedKey(nullptr, path));
        robot.verify();
        EXPECT_EQ(std::vector<std::wstring>(), temporaryKeyFiles());
        EXPECT_EQ(c.text, attached());
        EXPECT_FALSE(installed(keyOf(L"protected")));
    }
}

TEST_F(FileOps, DeleteAsksThenFreezesTheStorageBeforeTheKeyGoes) {
    const std::wstring path = storage(L"keys.demo-coffrex");
    const std::wstring start =
        L"Do you really want to delete installed storage key for current user account";
    const Certificate key = keyOf(L"protected");
    EXPECT_FALSE(DeleteKey(nullptr, path)) << "no key installed: nothing to ask";
    install(key);
    UiRobot robot;
    robot
        .expect(messageBox(L"WARNING: You have no storage key attached. If you have no any "
                           L"reserve copy of the key you want to delete than you'll not be able "
                           L"to access this storage any more.\n\n" +
                               start + L" (it couldn't be undone) ?",
                           Icon::Warning, {IDYES, IDNO}))
        .answer(IDNO);
    EXPECT_FALSE(DeleteKey(nullptr, path));
    EXPECT_TRUE(installed(key) && !frozen(path));
    attach(L"QUJD", kKeyAttached);
    robot
        .expect(messageBox(start + L"?\n\nYou have a key attached to the storage so you can "
                                   L"install it at any moment you need.",
                           Icon::Warning, {IDYES, IDNO}))
        .answer(IDYES);
    ShellEvents events(scratch_.path(), [&] { return installed(key); });
    EXPECT_FALSE(DeleteKey(nullptr, path));
    robot.verify();
    EXPECT_FALSE(installed(key));
    EXPECT_TRUE(frozen(path));
    EXPECT_EQ(kRefreshed, events.take()) << "frozen, and redrawn, while the key was there";
}

TEST_F(FileOps, ViewShowsTheInstalledKeyOnly) {
    const std::wstring path = storage(L"keys.demo-coffrex");
    UiRobot robot;
    EXPECT_FALSE(ViewKey(nullptr, path));
    install(keyOf(L"protected"));
    robot.expect(Box().messageBox(false)).answer(IDOK);
    EXPECT_TRUE(ViewKey(nullptr, path));
    robot.verify();
}

} // namespace
} // namespace cfx::store::test
