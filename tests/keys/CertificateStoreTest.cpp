// The certificate store operations on real keys: PKCS#12 files that openssl
// made at build time (bin/testkeys), imported into the test's own prefix.
// The tests share the prefix's "MY" store; each installs what it needs.
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Base64.h"
#include "server/CertificateStore.h"
#include "common/ErrorObjectHook.h"
#include "server/ErrorReport.h"
#include "common/WineKeyContainers.h"
#include "support/MemoryStorage.h"
#include "support/UiRobot.h"

#include <windows.h>
#include <comdef.h>
#include <wincrypt.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace cfx::test {
namespace {

using Bytes = std::vector<BYTE>;
using Microsoft::WRL::ComPtr;

const Bytes kSecret = {'s', 't', 'o', 'r', 'a', 'g', 'e', ' ', 'k', 'e', 'y', 0, 1, 2, 255};

std::wstring keyFile(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.rfind(L'\\') + 1) + L"testkeys\\" + name + L".pfx";
}

Certificate importOne(const wchar_t* name, const wchar_t* password = nullptr) {
    std::vector<Certificate> imported = ImportPfxFile(keyFile(name), password);
    EXPECT_EQ(imported.size(), 1u);
    return imported.empty() ? Certificate() : imported.front();
}

// As the install command does: the imported certificates go into "MY".
void install(const Certificate& certificate) {
    CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), certificate.get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

DWORD winErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const cfx::win_except& e) {
        return e.code();
    }
    return ERROR_SUCCESS;
}

HRESULT comErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const _com_error& e) {
        return e.Error();
    }
    return S_OK;
}

Bytes subjectKeyIdentifier(PCCERT_CONTEXT certificate) {
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, info->cExtension, info->rgExtension);
    CRYPT_DATA_BLOB* value = nullptr;
    DWORD size = 0;
    if (!extension || !CryptDecodeObjectEx(X509_ASN_ENCODING, szOID_SUBJECT_KEY_IDENTIFIER,
                                           extension->Value.pbData, extension->Value.cbData,
                                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &value, &size))
        return {};
    Bytes result(value->pbData, value->pbData + value->cbData);
    LocalFree(value);
    return result;
}

// Enciphered with the certificate's public key, as a storage key record is.
Bytes encryptFor(PCCERT_CONTEXT certificate, const Bytes& plain) {
    CryptProvider provider;
    CryptKey key;
    Bytes buffer = plain;
    DWORD length = static_cast<DWORD>(plain.size());
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) ||
        !CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING,
                                  &certificate->pCertInfo->SubjectPublicKeyInfo, key.put()) ||
        !CryptEncrypt(key.get(), 0, TRUE, 0, nullptr, &length, 0))
        return {};
    buffer.resize(length);
    length = static_cast<DWORD>(plain.size());
    if (!CryptEncrypt(key.get(), 0, TRUE, 0, buffer.data(), &length,
                      static_cast<DWORD>(buffer.size())))
        return {};
    return buffer;
}

// The installed certificate's private key opens what its public key closed.
testing::AssertionResult roundTrips(const Certificate& imported) {
    Bytes decrypted;
    DWORD error = winErrorOf([&] {
        Certificate found = FindByKeyIdentifier(GetKeyIdentifier(imported.get()));
        decrypted =
            DecryptWithPrivateKey(AcquirePrivateKey(found), encryptFor(found.get(), kSecret));
    });
    if (error != ERROR_SUCCESS)
        return testing::AssertionFailure() << cfx::win_except(error).what();
    if (decrypted != kSecret)
        return testing::AssertionFailure() << "decrypted to other bytes";
    return testing::AssertionSuccess();
}

// --- Base64 ---

TEST(Base64, DecodesEveryTailSkippingCharactersOutsideTheAlphabet) {
    EXPECT_EQ(fromBase64(L""), Bytes());
    EXPECT_EQ(fromBase64(L"Zg=="), Bytes({'f'}));
    EXPECT_EQ(fromBase64(L"Zm8"), Bytes({'f', 'o'}));
    EXPECT_EQ(fromBase64(L"+/8="), Bytes({0xFB, 0xFF}));
    EXPECT_EQ(toBase64({'f'}) + toBase64({'f', 'o'}) + toBase64({0xFB, 0xFF, 0}), L"Zg==Zm8=+/8A");
    EXPECT_EQ(fromBase64(L" c3\r\nRv-cm*Fn\tZQ==!"), Bytes({'s', 't', 'o', 'r', 'a', 'g', 'e'}));
}

TEST(Base64, TextThatDoesNotDecodeIsAnInvalidArgument) {
    for (const wchar_t* text : {L"QUJDR", L"=Q=="}) {
        try {
            fromBase64(text);
            ADD_FAILURE() << "decoded";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ("An argument is invalid", e.what());
            // What an entry point makes of it.
            EXPECT_EQ(E_UNEXPECTED, hresultOfCurrentException());
        }
    }
}

// --- Handle holders ---

// A memory store tells whether references to it or to its certificate are
// left: closing it with the check flag then fails with CRYPT_E_PENDING_CLOSE.
HCERTSTORE storeWithCertificate() {
    static const Certificate certificate = importOne(L"first");
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertAddCertificateContextToStore(store, certificate.get(), CERT_STORE_ADD_ALWAYS, nullptr);
    return store;
}

template <class Holder> void copyAround(const Holder& original) {
    Holder copy(original);
    Holder assigned;
    assigned = copy;
    assigned = original; // gives one reference back, takes another
    Holder moved(std::move(copy));
    EXPECT_FALSE(copy);
    assigned = std::move(moved);
    const Holder& same = assigned;
    assigned = same;
    EXPECT_EQ(assigned.get(), original.get()); // these kinds duplicate in place
}

// Every reference the holders take is given back, and only once: the store
// closes cleanly after them, but not while one more reference is kept.
template <class Holder, class Make> void expectExactReferences(Make make) {
    HCERTSTORE store = storeWithCertificate();
    copyAround(Holder(make(store)));
    EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG)) << "a reference was kept";

    store = storeWithCertificate();
    decltype(make(store)) kept{};
    {
        Holder held(make(store));
        copyAround(held);
        kept = Holder(held).release();
    }
    ASSERT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG)) << "one was given back twice";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    Holder last(kept);
}

PCCERT_CONTEXT firstCertificate(HCERTSTORE store) {
    return CertEnumCertificatesInStore(store, nullptr);
}

TEST(CryptHandles, CertificateCopiesCountReferences) {
    expectExactReferences<Certificate>(firstCertificate);
}

TEST(CryptHandles, StoreCopiesCountReferences) {
    expectExactReferences<CertificateStore>(CertDuplicateStore);
}

TEST(CryptHandles, ChainCopiesCountReferences) {
    expectExactReferences<CertificateChain>([](HCERTSTORE store) {
        Certificate end(firstCertificate(store));
        CERT_CHAIN_PARA para{sizeof para};
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        EXPECT_TRUE(CertGetCertificateChain(nullptr, end.get(), nullptr, nullptr, &para, 0, nullptr,
                                            &chain));
        return chain;
    });
}

TEST(CryptHandles, ProviderAndKeyCopiesOutliveTheOriginals) {
    CryptProvider provider;
    ASSERT_TRUE(
        CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    CryptKey key;
    ASSERT_TRUE(CryptGenKey(provider.get(), CALG_RC4, 0, key.put()));
    CryptProvider providerCopy(provider);
    CryptKey keyCopy(key);
    EXPECT_EQ(providerCopy.get(), provider.get());
    EXPECT_NE(keyCopy.get(), key.get()); // a duplicate key is a handle of its own
    key.reset();
    provider.reset();
    DWORD type = 0, size = sizeof type;
    EXPECT_TRUE(CryptGetProvParam(providerCopy.get(), PP_PROVTYPE, reinterpret_cast<BYTE*>(&type),
                                  &size, 0));
    BYTE data[4] = {1, 2, 3, 4};
    DWORD length = sizeof data;
    EXPECT_TRUE(CryptEncrypt(keyCopy.get(), 0, TRUE, 0, data, &length, sizeof data));
}

// --- Importing ---

TEST(ImportPfx, FileWithoutPasswordImportsWithEmptyAndWithNullPassword) {
    for (const wchar_t* password : {static_cast<const wchar_t*>(nullptr), L""}) {
        Certificate certificate = importOne(L"first", password);
        ASSERT_TRUE(certificate);
        EXPECT_FALSE(GetCertificateProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID).empty());
    }
}

TEST(ImportPfx, WrongPasswordRaisesAndReturnsNothing) {
    EXPECT_TRUE(importOne(L"protected", L"secret"));
    for (const wchar_t* password : {static_cast<const wchar_t*>(nullptr), L"", L"wrong"}) {
        std::vector<Certificate> imported(1);
        EXPECT_EQ(winErrorOf([&] { imported = ImportPfxFile(keyFile(L"protected"), password); }),
                  static_cast<DWORD>(ERROR_INVALID_PASSWORD));
        EXPECT_EQ(imported.size(), 1u) << "a list was returned";
    }
    EXPECT_EQ(winErrorOf([] { ImportPfxFile(keyFile(L"absent"), nullptr); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// --- Finding, private keys, deleting ---

TEST(FindByKeyIdentifier, FindsTheInstalledCertificateOrRaisesNotFound) {
    Certificate imported = importOne(L"first");
    Bytes keyId = subjectKeyIdentifier(imported.get());
    ASSERT_EQ(keyId.size(), 20u);
    EXPECT_EQ(GetKeyIdentifier(imported.get()), keyId);
    install(imported);
    Certificate found = FindByKeyIdentifier(keyId);
    ASSERT_TRUE(found);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, found.get()->pCertInfo,
                                       imported.get()->pCertInfo));
    EXPECT_EQ(winErrorOf([] { FindByKeyIdentifier(Bytes(20, 0x5A)); }),
              static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST(PrivateKey, DecryptsWhatThePublicKeyEnciphered) {
    Certificate certificate = importOne(L"second");
    install(certificate);
    Certificate found = FindByKeyIdentifier(GetKeyIdentifier(certificate.get()));
    Bytes enciphered = encryptFor(found.get(), kSecret);
    ASSERT_FALSE(enciphered.empty());
    PrivateKey copy;
    {
        PrivateKey key = AcquirePrivateKey(found, GetDesktopWindow());
        EXPECT_EQ(key.owner, GetDesktopWindow());
        EXPECT_EQ(DecryptWithPrivateKey(key, enciphered), kSecret);
        copy = key;
    }
    EXPECT_EQ(DecryptWithPrivateKey(copy, enciphered), kSecret);
    EXPECT_NE(winErrorOf([&] { DecryptWithPrivateKey(copy, Bytes(256, 7)); }),
              static_cast<DWORD>(ERROR_SUCCESS));
}

// Wine's PKCS#12 import puts every key into the one default key container:
// without WineKeyContainers the second key replaces the first.
TEST(PrivateKey, TwoImportedKeysBothDecrypt) {
    Certificate first = importOne(L"first");
    install(first);
    Certificate second = importOne(L"second");
    install(second);
    EXPECT_TRUE(roundTrips(first));
    EXPECT_TRUE(roundTrips(second));
}

// --- The storage's key ---

class StorageKeyTest : public testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ComPtr<IStorageServer> server;
        server.Attach(MemoryCatalog().createServer());
        Bstr path(SysAllocString(L"C:\\key.demo-coffrex"));
        ASSERT_EQ(server->CreateStorage(path.get(), certificate_.get()->cbCertEncoded,
                                        certificate_.get()->pbCertEncoded, &storage_),
                  S_OK);
    }
    void TearDown() override {
        storage_.Reset();
        CoUninitialize();
    }

    Certificate certificate_ = importOne(L"second");
    ComPtr<IStorageObject> storage_;
};

TEST_F(StorageKeyTest, DeletedCertificateIsNoLongerFound) {
    install(certificate_);
    Certificate found = FindInstalledKey(storage_.Get());
    ASSERT_TRUE(found);
    EXPECT_EQ(GetKeyIdentifier(found.get()), GetKeyIdentifier(certificate_.get()));
    DeleteInstalledCertificate(found);
    EXPECT_FALSE(FindInstalledKey(storage_.Get()));
    EXPECT_EQ(winErrorOf([&] { FindByKeyIdentifier(GetKeyIdentifier(certificate_.get())); }),
              static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST_F(StorageKeyTest, KeyIdThatIsNoBase64TextIsRefused) {
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = 1;
    ASSERT_EQ(storage_->SetProperty(StorageProperty_KeyId, value), S_OK);
    EXPECT_EQ(comErrorOf([&] { FindInstalledKey(storage_.Get()); }), E_UNEXPECTED);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(L"QUJDR");
    ASSERT_EQ(storage_->SetProperty(StorageProperty_KeyId, value), S_OK);
    VariantClear(&value);
    EXPECT_THROW(FindInstalledKey(storage_.Get()), std::invalid_argument);
}

// --- Windows of the system ---

// What Wine's import wizard would leave: the certificate in "MY", its key in
// the user's default container. (Wine 8's wizard cannot read PKCS#12 files.)
Certificate installIntoDefaultContainer(const wchar_t* name, const wchar_t* password, DWORD flags) {
    Bytes pfx;
    if (FILE* file = _wfopen(keyFile(name).c_str(), L"rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;)
            pfx.push_back(static_cast<BYTE>(c));
        std::fclose(file);
    }
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    CertificateStore imported(PFXImportCertStore(&blob, password, flags));
    Certificate certificate(CertEnumCertificatesInStore(imported.get(), nullptr));
    install(certificate);
    return certificate;
}

TEST(WineKeyContainers, KeysTheWizardLeftInTheDefaultContainerMoveOut) {
    if (!runningUnderWine())
        GTEST_SKIP() << "Windows gives every imported key a container of its own";
    constexpr DWORD kFlags = CRYPT_EXPORTABLE | CRYPT_USER_KEYSET;
    Certificate first = installIntoDefaultContainer(L"first", L"", kFlags);
    moveWizardImportedKeysToOwnContainers();
    Certificate second = installIntoDefaultContainer(L"second", L"", kFlags);
    moveWizardImportedKeysToOwnContainers();
    EXPECT_TRUE(roundTrips(first));
    EXPECT_TRUE(roundTrips(second));
}

TEST(ImportKeyFile, CancelledWizardIsNoFailure) {
    UiRobot robot;
    robot.expect(Box().messageBox(false)).dismiss();
    EXPECT_TRUE(ImportKeyFile(nullptr, keyFile(L"first"), L"Install key"));
    robot.verify();
}

// Under Wine the wizard never fails by itself (cancelling it succeeds): a key
// that cannot leave the default container makes the failure.
TEST(ImportKeyFile, FailureIsShownWithTheErrorText) {
    if (!runningUnderWine())
        GTEST_SKIP() << "only Wine's keys are moved after the wizard";
    Certificate stuck = installIntoDefaultContainer(L"protected", L"secret", CRYPT_USER_KEYSET);
    UiRobot robot;
    robot.expect(Box().messageBox(false)).dismiss();
    robot
        .expect(Box()
                    .messageBox()
                    .caption(L"Install key")
                    .text(L"Unable to install key due to the following error:\n\n   " +
                          errorText(static_cast<DWORD>(NTE_BAD_KEY_STATE)) +
                          L"\n\nPlease try to install the key manually.")
                    .icon(Icon::Error)
                    .buttons({IDOK}))
        .answer(IDOK);
    EXPECT_FALSE(ImportKeyFile(nullptr, keyFile(L"protected"), L"Install key"));
    robot.verify();
    DeleteInstalledCertificate(FindByKeyIdentifier(GetKeyIdentifier(stuck.get())));
}

TEST(ViewCertificate, ShowsTheCertificate) {
    Certificate certificate = importOne(L"first");
    UiRobot robot;
    robot.expect(Box().messageBox(false)).answer(IDOK);
    EXPECT_TRUE(ViewCertificate(nullptr, certificate.get()));
    robot.verify();
}

} // namespace
} // namespace cfx::test
