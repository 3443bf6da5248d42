// Freezing, defragmentation and the key commands on storages of the real
// storage server, run as the storage file's menu and page run them. The robot
// answers every box and dialog (the common file dialogs and the system's
// certificate windows included) and checks its text, caption and icon.
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

#include <cstring>
#include <memory>

namespace cfx::store::test {
namespace {

using cfx::test::Box;
using cfx::test::BoxRecord;
using cfx::test::Icon;
using cfx::test::UiRobot;
using namespace cfx::server;
using namespace cfx::storagefile;

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

// A box of the library with part of its text.
Box message(const std::wstring& text, Icon icon, std::vector<int> buttons) {
    return Box()
        .messageBox()
        .caption(L"Coffrex")
        .textContaining(text)
        .icon(icon)
        .buttons(std::move(buttons));
}

std::wstring keyFile(const std::wstring& name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

Certificate keyOf(const std::wstring& name) {
    return std::move(ImportPfxFile(keyFile(name), L"secret").front());
}

bool installed(const Certificate& key) {
    try {
        return bool(FindByKeyIdentifier(GetKeyIdentifier(key.get())));
    } catch (const cfx::win_except&) {
        return false;
    }
}

void install(const Certificate& key) {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), key.get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

class FileOps : public testing::Test {
protected:
    // A storage for the "protected" key, with a file of keep bytes.
    std::wstring storage(size_t keep = 0) {
        const std::wstring path = scratch_.file(L"s.demo-coffrex");
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
        check(root_->SetProperty(StorageProperty_AttachedKey, Variant(text).get()));
        check(root_->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(flags)).get()));
    }
    std::wstring attached() { return readTextProperty(root_.Get(), StorageProperty_AttachedKey); }

    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_ = connectServer();
    ComPtr<IStorageFolder> root_;
};

TEST_F(FileOps, FrozenTheFileIsFreeToMoveUntilThawed) {
    const std::wstring path = storage(10000), away = scratch_.file(L"away");
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

// Bad paths, missing or a file that is no container: the error box starts
// with the command's prefix and the file keeps its bytes.
TEST_F(FileOps, BadPathsShowTheirPrefixAndLeaveTheFile) {
    const std::wstring path = scratch_.file(L"bad.demo-coffrex");
    const struct {
        const char* contents;
        void (*run)(const std::wstring& path);
        const wchar_t* prefix;
    } rows[] = {
        {nullptr, [](auto& p) { EXPECT_FALSE(freezeCommand(0, p)); },
         L"Unable to freeze the storage."},
        {nullptr, [](auto& p) { EXPECT_FALSE(unfreezeCommand(0, p)); },
         L"Unable to unfreeze the storage."},
        {"text", [](auto& p) { EXPECT_FALSE(freezeCommand(0, p)); },
         L"Unable to freeze the storage."},
        {nullptr, [](auto& p) { AnalyseAndDefragment(0, p); }, L"Unable to complete operation."},
        {"text", [](auto& p) { AnalyseAndDefragment(0, p); }, L"Unable to complete operation."},
    };
    for (const auto& row : rows) {
        const std::vector<BYTE> bytes(row.contents, row.contents + (row.contents ? 4 : 0));
        DeleteFileW(path.c_str());
        if (row.contents)
            putFileBytes(path, bytes);
        UiRobot robot;
        robot.expect(message(row.prefix + std::wstring(L"\n\n"), Icon::Error, {IDOK})).answer(IDOK);
        row.run(path);
        robot.verify();
        EXPECT_EQ(bytes, row.contents ? fileBytes(path) : std::vector<BYTE>());
    }
}

// File sizes that leave 25 and 26 percent of the compound file unused: the
// stream grows ahead of the writes and is cut back at the commit.
constexpr size_t kKept25 = 96 * 4096 - 100, kKept26 = 95 * 4096 - 100;
struct Analysis {
    const char* name;
    size_t kept;
    bool frozen; // by the user, before
    int percent, answer;
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
    const std::wstring path = storage(c.kept);
    if (c.frozen)
        FreezeStorage(path, true);
    const ULONGLONG before = fileSize(path);
    UiRobot robot;
    robot.allow(Box().messageBox(false)).leaveOpen(); // the animated waits, closed by themselves
    const std::wstring text = L"Storage is fragmented on " + std::to_wstring(c.percent) + L"%.\n";
    robot
        .expect(c.percent <= 25
                    ? message(text + L"It does not need deframentation.", Icon::Information, {IDOK})
                    : message(text + L"To start defragmentation press OK.\n\nNote: The "
                                     L"storage will be temporary frozen.",
                              Icon::Warning, {IDYES, IDNO}))
        .answer(c.answer);
    if (c.answer == IDYES)
        robot
            .expect(
                message(L"Defragmentation has finished successfully", Icon::Information, {IDOK}))
            .answer(IDOK);
    AnalyseAndDefragment(nullptr, path);
    robot.verify();
    EXPECT_EQ(c.frozen, frozen(path));
    EXPECT_EQ(c.answer == IDYES, fileSize(path) < before);
    if (c.frozen)
        FreezeStorage(path, false);
    EXPECT_EQ(patternBytes(c.kept, 1), c.kept ? kept(path) : std::vector<BYTE>());
}
INSTANTIATE_TEST_SUITE_P(FileOps, Fragmentation, testing::ValuesIn(kAnalyses), caseName<Analysis>);

// --- The key commands, on a storage of the "protected" key ---

constexpr int kFileName = 1148; // cmb13 of the common file dialogs

Box fileDialog(const wchar_t* title) {
    return Box().messageBox(false).caption(title).where(
        [](const BoxRecord& box) {
            const auto* types = box.control(1136); // cmb1
            return types && types->text == L"PKCS#12 files (*.pfx)";
        },
        "the .pfx filter");
}

Box wizard() {
    return Box().messageBox(false).where([](const BoxRecord& box) { return !box.button(IDYES); },
                                         "the system's wizard");
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
class AttachKeys : public FileOps, public testing::WithParamInterface<Attach> {};

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
                .expect(message(L"does not belong to this storage  or the password is invalid.",
                                Icon::Warning, {IDOK}))
                .answer(IDOK);
    }
    if (!yes)
        robot.expect(fileDialog(L"Select a storage key to attach")).answer(IDCANCEL);
    EXPECT_EQ(yes, AttachKey(nullptr, path));
    robot.verify();
    EXPECT_EQ(yes ? toBase64(fileBytes(keyFile(rounds.back().first))) : L"", attached());
    EXPECT_EQ(yes ? kKeyAttached : 0, readFlags(root_.Get()));
}
INSTANTIATE_TEST_SUITE_P(FileOps, AttachKeys, testing::ValuesIn(kAttaches), caseName<Attach>);

TEST_F(FileOps, DetachAsksFirstAndKeepsTheOtherFlags) {
    const std::wstring path = storage();
    const struct {
        ULONGLONG flags;
        int answer;
        bool detached;
    } cases[] = {{0x5, IDNO, false}, {0x4, IDYES, false}, {0x5, IDYES, true}};
    for (const auto& c : cases) {
        attach(L"QUJD", c.flags);
        UiRobot robot;
        robot
            .expect(message(L"Do you really want to remove attached key?\n\nNote: If you don't "
                            L"have a reserve copy",
                            Icon::Warning, {IDYES, IDNO}))
            .answer(c.answer);
        EXPECT_EQ(c.detached, DetachKey(nullptr, path));
        robot.verify();
        EXPECT_EQ(c.detached ? 0x4 : c.flags, readFlags(root_.Get()));
        EXPECT_EQ(c.detached ? L"" : L"QUJD", attached());
    }
}

// "out" gets the default extension; the file is replaced without a question.
TEST_F(FileOps, ExportReplacesTheFile) {
    const std::wstring path = storage(), target = scratch_.file(L"out.pfx");
    EXPECT_FALSE(ExportAttachedKey(nullptr, path)) << "nothing attached";
    const std::vector<BYTE> key = fileBytes(keyFile(L"protected"));
    attach(toBase64(key), kKeyAttached);
    putFileBytes(target, {1, 2});
    UiRobot robot;
    robot.expect(fileDialog(L"Storage key export"))
        .fill(kFileName, scratch_.file(L"out"))
        .answer(IDOK);
    robot.expect(Box().caption(L"Coffrex").textContaining(L"The key was successfuly exported."))
        .answer(IDNO);
    EXPECT_TRUE(ExportAttachedKey(nullptr, path));
    robot.verify();
    EXPECT_EQ(key, fileBytes(target));
}

// The attached key through the wizard: a key file, text that is no Base64,
// bytes that are no PKCS#12 file, and nothing attached. No key file is left
// in the temporary folder and nothing is installed.
TEST_F(FileOps, InstallingTheAttachedKeyLeavesNoTemporaryFile) {
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
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, TRUE);
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
        WIN32_FIND_DATAW found;
        EXPECT_FALSE(
            FindHandle(FindFirstFileW((folder + std::wstring(L"\\*.pfx")).c_str(), &found)));
        EXPECT_EQ(c.text, attached());
        EXPECT_FALSE(installed(keyOf(L"protected")));
    }
}

// With a key attached or not, the user is warned; on Yes the storage is
// frozen and the key goes.
TEST_F(FileOps, DeleteAsksThenFreezesTheStorageAndTheKeyGoes) {
    const std::wstring path = storage();
    const Certificate key = keyOf(L"protected");
    EXPECT_FALSE(DeleteKey(nullptr, path)) << "no key installed: nothing to ask";
    install(key);
    UiRobot robot;
    robot
        .expect(
            message(L"WARNING: You have no storage key attached.", Icon::Warning, {IDYES, IDNO}))
        .answer(IDNO);
    EXPECT_FALSE(DeleteKey(nullptr, path));
    EXPECT_TRUE(installed(key) && !frozen(path));
    attach(L"QUJD", kKeyAttached);
    robot
        .expect(message(L"key for current user account?\n\nYou have a key attached", Icon::Warning,
                        {IDYES, IDNO}))
        .answer(IDYES);
    EXPECT_FALSE(DeleteKey(nullptr, path));
    robot.verify();
    EXPECT_FALSE(installed(key));
    EXPECT_TRUE(frozen(path));
}

} // namespace
} // namespace cfx::store::test
