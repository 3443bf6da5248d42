// The "New" wizard as Explorer's "New" menu runs it: its pages shown in this
// process, where the UI robot plays the user, against the real storage
// server; and its silent form run as a program. Every storage made must open
// through the server and list as empty.
#include "storeserver/RemoteStorage.h"
#include "storeserver/ToolProcess.h"

#include "common/Base64.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"

#include "Wizard.h"
#include "WizardOptions.h"
#include "resource.h"

#include <commctrl.h>

#include <fstream>
#include <thread>

namespace cfx::store::test {
namespace {

using cfx::test::Box;
using cfx::test::Icon;
using cfx::test::UiRobot;

Box page(const wchar_t* title) {
    return Box().caption(L"New Coffrex storage").messageBox(false).textContaining(title);
}
Box keyPage() {
    return page(L"Choose the key");
}
Box optionsPage() {
    return page(L"Keep a copy of the key");
}
Box confirmPage() {
    return page(L"Ready to make the storage");
}
Box message(Icon icon, const wchar_t* part) {
    return Box().caption(L"Coffrex").messageBox().icon(icon).textContaining(part);
}

std::wstring testKey(const std::wstring& name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void writeLocal(const std::wstring& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The wizard on a thread of its own, as in its own program; the test's
// thread stays free to play the user.
class WizardRun {
public:
    explicit WizardRun(std::vector<std::wstring> arguments)
        : thread_([this, arguments = std::move(arguments)] {
              CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
              result_ = cfx::wizard::runWizard(arguments);
              CoUninitialize();
          }) {}
    ~WizardRun() {
        if (thread_.joinable())
            thread_.join();
    }
    int result() {
        thread_.join();
        return result_;
    }

private:
    int result_ = -1;
    std::thread thread_;
};

// The subject of the certificate of "MY" that the storage's KeyId names.
std::wstring installedSubjectFor(const std::wstring& keyId) {
    std::vector<BYTE> id = fromBase64(keyId);
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(id.size()), id.data()};
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    Certificate found(CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    wchar_t name[256] = L"";
    if (found)
        CertGetNameStringW(found.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

ULONGLONG flagsOf(IStorageObject* storage) {
    Variant value;
    check(storage->GetProperty(StorageProperty_Flags, value.put()));
    EXPECT_EQ(VT_UI8, value.type());
    return value.get().ullVal;
}

// The storage opens with the installed key of subject, and is empty.
void expectEmptyStorageOf(const std::wstring& path, const std::wstring& subject) {
    ComPtr<IStorageServer> server = connectServer();
    ComPtr<IStorageFolder> root = openStorage(server.Get(), path);
    ComPtr<IStorageObject> storage;
    ASSERT_EQ(S_OK, root.As(&storage));
    EXPECT_EQ(subject, installedSubjectFor(textProperty(storage.Get(), StorageProperty_KeyId)));
    unlock(storage.Get());
    EXPECT_TRUE(listNames(root.Get()).empty());
}

class WizardTest : public testing::Test {
protected:
    ScratchFolder scratch_;
    const std::wstring storage_ = scratch_.file(L"New Coffrex storage.demo-coffrex");
    UiRobot robot_;

    void placeholder() { writeLocal(storage_, ""); }
    // The next box the robot sees that is the one wanted.
    std::optional<cfx::test::BoxRecord> nextBox(const Box& wanted) {
        std::optional<cfx::test::BoxRecord> box;
        while ((box = robot_.waitForBox()) && !wanted.matches(*box)) {
        }
        return box;
    }
};

// The server exits a few seconds after its last client; under Wine a client
// that comes just then is refused (RPC_S_SERVER_UNAVAILABLE). The test holds
// a client of its own, as Explorer does while the library is loaded.
class Cfxwiz : public WizardTest {
protected:
    ComPtr<IStorageServer> server_ = connectServer();
};

struct MakeCase {
    const char* name;
    const wchar_t* keyFile; // none: the installed test certificate
    const wchar_t* password;
    const wchar_t* subject;
    bool placeholder;
};

const MakeCase kMakeCases[] = {
    {"InstalledCertificate", nullptr, L"", L"Store test 1", true},
    {"KeyFile", L"first", L"", L"Storage key first", true},
    {"KeyFileWithPassword", L"protected", L"secret", L"Storage key protected", false},
};

class CfxwizMakes : public Cfxwiz, public testing::WithParamInterface<MakeCase> {};

TEST_P(CfxwizMakes, AStorageForTheChosenKey) {
    const MakeCase& c = GetParam();
    firstCertificate(); // "Store test 1", installed with its private key
    if (c.placeholder)
        placeholder();
    if (c.keyFile)
        robot_.expect(keyPage())
            .fill(IDC_KEY_FILE, testKey(c.keyFile))
            .fill(IDC_PASSWORD, c.password)
            .answer(IDOK);
    else
        robot_.expect(keyPage()).fill(IDC_CERTIFICATE, c.subject).answer(IDOK);
    robot_.expect(optionsPage()).answer(IDOK);
    robot_.expect(confirmPage().textContaining(c.subject)).answer(IDOK);
    // The command line as Explorer's "New" menu gives it: the path in quotes.
    const std::wstring commandLine = L"cfxwiz.exe \"" + storage_ + L"\"";
    EXPECT_EQ(cfx::wizard::kMade,
              WizardRun(cfx::wizard::splitCommandLine(commandLine.c_str())).result());
    robot_.verify();
    expectEmptyStorageOf(storage_, c.subject);
}

INSTANTIATE_TEST_SUITE_P(Cases, CfxwizMakes, testing::ValuesIn(kMakeCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Cfxwiz, AsksAgainAfterAWrongPassword) {
    robot_.expect(keyPage())
        .fill(IDC_KEY_FILE, testKey(L"protected"))
        .fill(IDC_PASSWORD, L"wrong")
        .answer(IDOK);
    robot_.expect(message(Icon::Warning, L"password of the key file is wrong")).answer(IDOK);
    // The page comes back with the key file kept and the password empty.
    robot_.expect(keyPage()).fill(IDC_PASSWORD, L"secret").answer(IDOK);
    robot_.expect(optionsPage()).answer(IDOK);
    robot_.expect(confirmPage()).answer(IDOK);
    EXPECT_EQ(cfx::wizard::kMade, WizardRun({storage_}).result());
    robot_.verify();
    expectEmptyStorageOf(storage_, L"Storage key protected");
}

TEST_F(Cfxwiz, AttachesACopyOfTheKeyFile) {
    robot_.expect(keyPage()).fill(IDC_KEY_FILE, testKey(L"second")).answer(IDOK);
    robot_.expect(optionsPage()).leaveOpen();
    robot_.expect(confirmPage().textContaining(L"will be attached")).answer(IDOK);
    WizardRun run({storage_});
    std::optional<cfx::test::BoxRecord> box = nextBox(optionsPage());
    ASSERT_TRUE(box) << "no options page";
    SendMessageW(GetDlgItem(box->window, IDC_ATTACH), BM_CLICK, 0, 0); // the user ticks it
    robot_.press(box->window, IDOK);
    EXPECT_EQ(cfx::wizard::kMade, run.result());
    robot_.verify();
    expectEmptyStorageOf(storage_, L"Storage key second");

    ComPtr<IStorageFolder> root = openStorage(connectServer().Get(), storage_);
    ComPtr<IStorageObject> storage;
    ASSERT_EQ(S_OK, root.As(&storage));
    EXPECT_EQ(toBase64(fileBytes(testKey(L"second"))),
              textProperty(storage.Get(), StorageProperty_AttachedKey));
    EXPECT_EQ(1u, flagsOf(storage.Get()) & 1);
}

struct KeyMistake {
    const char* name;
    int field; // the field the user fills
    const wchar_t* text;
    const wchar_t* message;
};

const KeyMistake kKeyMistakes[] = {
    {"NotAKeyFile", IDC_KEY_FILE, L"notes.txt", L"is not a key file (.pfx)"},
    {"MissingKeyFile", IDC_KEY_FILE, L"gone.pfx", L"gone.pfx\" cannot be used"},
    {"UnknownCertificate", IDC_CERTIFICATE, L"Nobody", L"choose one of your certificates"},
};

class CfxwizKeyPage : public Cfxwiz, public testing::WithParamInterface<KeyMistake> {};

TEST_P(CfxwizKeyPage, ExplainsAMistakeAndAsksAgain) {
    const KeyMistake& c = GetParam();
    firstCertificate(); // the list has a certificate
    writeLocal(scratch_.file(L"notes.txt"), "not a key");
    placeholder();
    const std::wstring text = c.field == IDC_KEY_FILE ? scratch_.file(c.text) : c.text;
    robot_.expect(keyPage()).fill(c.field, text).answer(IDOK);
    robot_.expect(message(Icon::Warning, c.message)).answer(IDOK);
    robot_.expect(keyPage()).dismiss();
    EXPECT_EQ(cfx::wizard::kCancelled, WizardRun({storage_}).result());
    robot_.verify();
    EXPECT_FALSE(exists(storage_));
}

INSTANTIATE_TEST_SUITE_P(Mistakes, CfxwizKeyPage, testing::ValuesIn(kKeyMistakes),
                         [](const auto& test) { return std::string(test.param.name); });

// The system's certificate selection dialog, from the key page's "Choose...".
TEST_F(Cfxwiz, TakesTheCertificateChosenInTheSystemsDialog) {
    firstCertificate();
    // Text no certificate has: only the dialog's choice makes the page valid.
    robot_.expect(keyPage()).fill(IDC_CERTIFICATE, L"Nobody").leaveOpen();
    const Box selection = Box().messageBox(false).where(
        [](const cfx::test::BoxRecord& box) {
            for (const auto& control : box.controls)
                if (control.className == L"SysListView32")
                    return true;
            return false;
        },
        "a list of certificates");
    robot_.expect(selection).leaveOpen();
    robot_.expect(optionsPage()).answer(IDOK);
    robot_.expect(confirmPage().textContaining(L"Store test 1")).answer(IDOK);
    WizardRun run({storage_});
    auto key = nextBox(keyPage());
    ASSERT_TRUE(key);
    robot_.press(key->window, IDC_CHOOSE_CERTIFICATE);
    auto dialog = nextBox(selection);
    ASSERT_TRUE(dialog);
    HWND list = FindWindowExW(dialog->window, nullptr, L"SysListView32", nullptr);
    std::wstring subject = L"Store test 1"; // the user clicks it
    LVFINDINFOW find{LVFI_STRING, subject.c_str()};
    int item = static_cast<int>(SendMessageW(list, LVM_FINDITEMW, static_cast<WPARAM>(-1),
                                             reinterpret_cast<LPARAM>(&find)));
    ASSERT_GE(item, 0);
    LVITEMW state{};
    state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item),
                 reinterpret_cast<LPARAM>(&state));
    robot_.press(dialog->window, IDOK);
    robot_.press(key->window, IDOK);
    EXPECT_EQ(cfx::wizard::kMade, run.result());
    robot_.verify();
    expectEmptyStorageOf(storage_, L"Store test 1");
}

class CfxwizCancels : public Cfxwiz, public testing::WithParamInterface<int> {};

TEST_P(CfxwizCancels, LeavingNoFileBehind) {
    placeholder();
    const Box pages[] = {keyPage(), optionsPage(), confirmPage()};
    robot_.expect(pages[0])
        .fill(IDC_KEY_FILE, testKey(L"first"))
        .answer(GetParam() ? IDOK : IDCANCEL);
    for (int i = 1; i <= GetParam(); ++i)
        robot_.expect(pages[i]).answer(i == GetParam() ? IDCANCEL : IDOK);
    EXPECT_EQ(cfx::wizard::kCancelled, WizardRun({storage_}).result());
    robot_.verify();
    EXPECT_FALSE(exists(storage_));
}

INSTANTIATE_TEST_SUITE_P(AtEveryPage, CfxwizCancels, testing::Values(0, 1, 2));

struct RefusalCase {
    const char* name;
    const wchar_t* file;  // under the scratch folder
    const char* contents; // written there first, unless null
    const wchar_t* message;
};

const RefusalCase kRefusals[] = {
    {"FolderMissing", L"no such folder\\new.demo-coffrex", nullptr, L"does not exist"},
    {"NonEmptyFile", L"taken.demo-coffrex", "someone's data", L"already exists and is not empty"},
};

class CfxwizRefuses : public Cfxwiz, public testing::WithParamInterface<RefusalCase> {};

TEST_P(CfxwizRefuses, ChangingNothing) {
    const RefusalCase& c = GetParam();
    const std::wstring path = scratch_.file(c.file);
    if (c.contents)
        writeLocal(path, c.contents);
    robot_.expect(message(Icon::Error, c.message).textContaining(L"Unable to create the storage."))
        .answer(IDOK);
    EXPECT_EQ(cfx::wizard::kFailed, WizardRun({path}).result());
    robot_.verify();
    if (c.contents)
        EXPECT_EQ(std::vector<BYTE>(c.contents, c.contents + strlen(c.contents)), fileBytes(path));
    else
        EXPECT_FALSE(exists(path));
}

INSTANTIATE_TEST_SUITE_P(Targets, CfxwizRefuses, testing::ValuesIn(kRefusals),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Cfxwiz, SilentFormReplacesThePlaceholderOrFailsCleanly) {
    // cfxwiz.exe's exit code, the run ended within two minutes.
    auto runProgram = [this](const std::wstring& arguments) {
        const ToolRun run = runTool(arguments, scratch_.file(L"out.txt"), 120000, L"cfxwiz.exe");
        EXPECT_TRUE(run.ended) << run.output;
        return run.exitCode;
    };
    placeholder();
    const std::wstring target = L"\"" + storage_ + L"\"";
    EXPECT_EQ(2u, runProgram(L"/silent --pfx \"" + testKey(L"protected") + L"\" --password no " +
                             target));
    EXPECT_FALSE(exists(storage_));                  // a failure leaves no placeholder either
    EXPECT_EQ(2u, runProgram(L"/silent " + target)); // no key given
    placeholder();
    EXPECT_EQ(0u, runProgram(L"/silent --pfx \"" + testKey(L"first") + L"\" " + target));
    expectEmptyStorageOf(storage_, L"Storage key first");
    EXPECT_EQ(2u, runProgram(L"/silent --pfx \"" + testKey(L"first") + L"\" " + target));

    // By key identifier, a certificate the user has installed.
    const std::wstring another = scratch_.file(L"by key id.demo-coffrex");
    EXPECT_EQ(0u, runProgram(L"/silent --key-id " + toBase64(firstCertificate().keyId) + L" \"" +
                             another + L"\""));
    expectEmptyStorageOf(another, L"Store test 1");
}

// Run alone (see CMakeLists.txt): the server stays registered for nobody else.
TEST_F(WizardTest, ServerUnregisteredGivesAClearMessage) {
    ASSERT_EQ(0u, runServerCommand(L"/UnregServer"));
    placeholder();
    robot_.expect(keyPage()).fill(IDC_KEY_FILE, testKey(L"first")).answer(IDOK);
    robot_.expect(optionsPage()).answer(IDOK);
    robot_.expect(confirmPage()).answer(IDOK);
    robot_.expect(message(Icon::Error, L"storage server is not installed")).answer(IDOK);
    EXPECT_EQ(cfx::wizard::kFailed, WizardRun({storage_}).result());
    robot_.verify();
    EXPECT_FALSE(exists(storage_));
    EXPECT_EQ(0u, runServerCommand(L"/RegServer"));
}

} // namespace
} // namespace cfx::store::test
