// The "New" wizard as Explorer's "New" menu runs it: its pages shown in this
// process, where the UI robot plays the user, against the real storage
// server; and its silent form run as a program. Every storage made must open
// through the server with the chosen key and list as empty.
#include "storeserver/RemoteStorage.h"
#include "storeserver/ToolProcess.h"

#include "common/Base64.h"
#include "support/LoadedLibrary.h"
#include "server/StorageProperties.h"
#include "support/UiRobot.h"

#include "Wizard.h"
#include "WizardOptions.h"
#include "resource.h"

#include <cstring>
#include <optional>
#include <sstream>
#include <thread>

namespace cfx::store::test {
namespace {

using cfx::test::Box;

std::wstring testKey(const std::wstring& name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The storage opens with the installed key of subject, is empty, and has
// the key attached or not.
void expectEmptyStorageOf(const std::wstring& path, const std::wstring& subject,
                          const std::wstring& attached = L"") {
    ComPtr<IStorageFolder> root = openStorage(connectServer().Get(), path);
    ComPtr<IStorageObject> storage;
    check(root.As(&storage));
    std::vector<BYTE> id = fromBase64(textProperty(storage.Get(), StorageProperty_KeyId));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(id.size()), id.data()};
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    Certificate found(CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    wchar_t name[256] = L"";
    CertGetNameStringW(found.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    EXPECT_EQ(subject, name);
    unlock(storage.Get());
    EXPECT_TRUE(listNames(root.Get()).empty());
    EXPECT_EQ(attached, textProperty(storage.Get(), StorageProperty_AttachedKey));
    EXPECT_EQ(!attached.empty(), (server::readFlags(storage.Get()) & server::kKeyAttached) != 0);
}

// A run as the user goes through it, boxes separated by "|": K, O and C the
// key, options and confirmation pages, with the fields filled (f= key file,
// p= password, c= certificate) and "!" to cancel, "+" to tick "attach";
// M a message with part of its text.
struct WizardCase {
    const char* name;
    const char* existing; // the file at the path first (null: none; "": Explorer's placeholder)
    const wchar_t* script;
    int result;             // 0 made, 1 cancelled, 2 failed
    const wchar_t* subject; // of the storage made; null: the file is as it was, or absent
    const wchar_t* target = L"New Coffrex storage.demo-coffrex";
};
// clang-format off
const WizardCase kCases[] = {
    {"InstalledCertificate", "", L"Kc=Store test 1|O|C", 0, L"Store test 1"},
    {"KeyFile", "", L"Kf=first|O|C", 0, L"Storage key first"},
    {"WrongPasswordAsksAgain", nullptr, L"Kf=protected,p=wrong|Mpassword of the key file is wrong|"
                                        L"Kp=secret|O|C", 0, L"Storage key protected"},
    {"AttachesTheKeyFile", nullptr, L"Kf=second|O+|C", 0, L"Storage key second"},
    {"NotAKeyFile", "", L"Kf=notes.txt|Mis not a key file (.pfx)|K!", 1, nullptr},
    {"MissingKeyFile", "", L"Kf=gone.pfx|Mgone.pfx\" cannot be used|K!", 1, nullptr},
    {"UnknownCertificate", "", L"Kc=Nobody|Mchoose one of your certificates|K!", 1, nullptr},
    {"CancelledOnKeyPage", "", L"Kf=first!", 1, nullptr},
    {"CancelledOnConfirm", "", L"Kf=first|O|C!", 1, nullptr},
    {"FolderMissing", nullptr, L"Mdoes not exist", 2, nullptr, L"no such folder\\new.demo-coffrex"},
    {"NonEmptyFile", "someone's data", L"Malready exists and is not empty", 2, nullptr},
};
const wchar_t* const kPages[] = {L"Choose the key", L"Keep a copy of the key",
                                 L"Ready to make the storage"};
// clang-format on
std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    std::wistringstream stream(text);
    for (std::wstring part; std::getline(stream, part, separator);)
        parts.push_back(part);
    return parts;
}
// One field of a page: f= the key file (a test key's name, or a file of the
// scratch folder when it has an extension), p= the password, c= the certificate.
void fillField(cfx::test::UiRobot::Script& script, const std::wstring& field,
               const ScratchFolder& scratch) {
    const std::wstring value = field.substr(2);
    if (field[0] == L'f')
        script.fill(IDC_KEY_FILE,
                    value.find(L'.') != std::wstring::npos ? scratch.file(value) : testKey(value));
    else
        script.fill(field[0] == L'p' ? IDC_PASSWORD : IDC_CERTIFICATE, value);
}

class Cfxwiz : public testing::TestWithParam<WizardCase> {
protected:
    ScratchFolder scratch_;
    // Held as Explorer does: under Wine a server just exiting refuses clients.
    ComPtr<IStorageServer> server_ = connectServer();
};

TEST_P(Cfxwiz, MakesAStorageForTheChosenKeyOrLeavesTheFile) {
    const WizardCase& c = GetParam();
    firstCertificate(); // "Store test 1", installed with its private key
    putFileBytes(scratch_.file(L"notes.txt"), {'n', 'o'});
    const std::wstring path = scratch_.file(c.target);
    const std::vector<BYTE> before(c.existing, c.existing + (c.existing ? strlen(c.existing) : 0));
    if (c.existing)
        putFileBytes(path, before);
    cfx::test::UiRobot robot;
    for (std::wstring step : split(c.script, L'|')) {
        const wchar_t kind = step[0], mark = step.back();
        if (mark == L'!' || mark == L'+')
            step.pop_back();
        if (kind == L'M') {
            robot.expect(Box().caption(L"Coffrex").messageBox().textContaining(step.substr(1)))
                .answer(IDOK);
            continue;
        }
        auto script = robot.expect(Box()
                                       .caption(L"New Coffrex storage")
                                       .messageBox(false)
                                       .textContaining(kPages[std::wstring(L"KOC").find(kind)]));
        for (const std::wstring& field : split(step.substr(1), L','))
            fillField(script, field, scratch_);
        if (mark == L'+')
            script.leaveOpen();
        else
            script.answer(mark == L'!' ? IDCANCEL : IDOK);
    }
    // The command line as Explorer's "New" menu gives it: the path in quotes.
    int result = -1;
    std::thread wizard([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        result = cfx::wizard::runWizard(
            cfx::wizard::splitCommandLine((L"cfxwiz.exe \"" + path + L"\"").c_str()));
        CoUninitialize();
    });
    std::optional<cfx::test::BoxRecord> box; // the user ticks "attach" on the options page
    while (std::wcsstr(c.script, L"O+") && (box = robot.waitForBox()) &&
           box->text.find(kPages[1]) == std::wstring::npos) {
    }
    if (box) {
        SendMessageW(GetDlgItem(box->window, IDC_ATTACH), BM_CLICK, 0, 0);
        robot.press(box->window, IDOK);
    }
    wizard.join();
    EXPECT_EQ(c.result, result);
    robot.verify();
    if (c.subject)
        expectEmptyStorageOf(path, c.subject,
                             std::wcsstr(c.script, L"O+") ? toBase64(fileBytes(testKey(L"second")))
                                                          : L"");
    else // the file as it was, or none
        EXPECT_EQ(c.existing && *c.existing, exists(path) && fileBytes(path) == before);
}
INSTANTIATE_TEST_SUITE_P(Cases, Cfxwiz, testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

// cfxwiz.exe /silent with the arguments and the target, ended within two minutes.
ToolRun silent(const std::wstring& arguments, const std::wstring& target) {
    const ToolRun run = runTool(L"/silent " + arguments + L"\"" + target + L"\"", target + L".out",
                                120000, L"cfxwiz.exe");
    EXPECT_TRUE(run.ended) << run.output;
    return run;
}

TEST(CfxwizSilent, ReplacesThePlaceholderOrFailsCleanly) {
    ScratchFolder scratch;
    ComPtr<IStorageServer> server = connectServer();
    const std::wstring path = scratch.file(L"new.demo-coffrex"),
                       first = L"--pfx \"" + testKey(L"first") + L"\" ";
    putFileBytes(path, {});
    EXPECT_EQ(2u,
              silent(L"--pfx \"" + testKey(L"protected") + L"\" --password no ", path).exitCode);
    EXPECT_FALSE(exists(path));                // a failure leaves no placeholder either
    EXPECT_EQ(2u, silent(L"", path).exitCode); // no key given
    putFileBytes(path, {});
    EXPECT_EQ(0u, silent(first, path).exitCode);
    expectEmptyStorageOf(path, L"Storage key first");
    EXPECT_EQ(2u, silent(first, path).exitCode); // not over a storage
}

} // namespace
} // namespace cfx::store::test
