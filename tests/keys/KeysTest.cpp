// Keys made by openssl at build time (bin/testkeys, PKCS#12), imported into
// the test's own prefix: the certificate store operations, and unlocking
// storages of the real storage server with them (the key table, both prompts
// answered by the robot, the error box).
#include "storeserver/RemoteStorage.h"

#include "common/Base64.h"
#include "common/Wine.h"
#include "common/WineKeyContainers.h"
#include "server/CertificateStore.h"
#include "server/ErrorReport.h"
#include "server/KeyTable.h"
#include "server/StorageProperties.h"
#include "server/StorageUnlock.h"
#include "support/LoadedLibrary.h"
#include "common/ComObjectBase.h"
#include "support/UiRobot.h"

#include <algorithm>
#include <functional>
#include <map>

namespace cfx::store::test {
namespace {

using namespace cfx::server;

using cfx::test::Box;
using cfx::test::Icon;
using cfx::test::UiRobot;

std::wstring keyFile(const wchar_t* name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

void install(const Certificate& certificate) {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    if (!my || !CertAddCertificateContextToStore(my.get(), certificate.get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        cfx::throwLastError();
}

void uninstall(const Certificate& certificate) {
    try {
        DeleteInstalledCertificate(FindByKeyIdentifier(GetKeyIdentifier(certificate.get())));
    } catch (const cfx::win_except&) {
    }
}

using Bytes = std::vector<BYTE>;

const Bytes kSecret = {'s', 't', 'o', 'r', 'a', 'g', 'e', ' ', 'k', 'e', 'y', 0, 1, 2, 255};

Certificate importOne(const wchar_t* name, const wchar_t* password = nullptr) {
    std::vector<Certificate> imported = ImportPfxFile(keyFile(name), password);
    EXPECT_EQ(imported.size(), 1u);
    return imported.empty() ? Certificate() : imported.front();
}

DWORD winErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const cfx::win_except& e) {
        return e.code();
    }
    return ERROR_SUCCESS;
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

TEST(Base64, DecodesEveryTailSkipsForeignCharactersAndRefusesDanglingOnes) {
    EXPECT_EQ(fromBase64(L"Zg=="), Bytes({'f'}));
    EXPECT_EQ(fromBase64(L"Zm8"), Bytes({'f', 'o'}));
    EXPECT_EQ(fromBase64(L"+/8="), Bytes({0xFB, 0xFF}));
    EXPECT_EQ(toBase64({'f'}) + toBase64({'f', 'o'}) + toBase64({0xFB, 0xFF, 0}), L"Zg==Zm8=+/8A");
    EXPECT_EQ(fromBase64(L" c3\r\nRv-cm*Fn\tZQ==!"), Bytes({'s', 't', 'o', 'r', 'a', 'g', 'e'}));
    for (const wchar_t* text : {L"QUJDR", L"=Q=="}) {
        try {
            fromBase64(text);
            ADD_FAILURE() << "decoded";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ("An argument is invalid", e.what());
            EXPECT_EQ(E_UNEXPECTED, hresultOfCurrentException()); // at an entry point
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

PCCERT_CONTEXT firstIn(HCERTSTORE store) {
    return CertEnumCertificatesInStore(store, nullptr);
}

TEST(CryptHandles, CertificateStoreAndChainCopiesCountReferences) {
    expectExactReferences<Certificate>(firstIn);
    expectExactReferences<CertificateStore>(CertDuplicateStore);
    expectExactReferences<CertificateChain>([](HCERTSTORE store) {
        Certificate end(firstIn(store));
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

TEST(ImportPfx, TheRightPasswordOnlyImportsAndAWrongOneReturnsNothing) {
    for (const wchar_t* password : {static_cast<const wchar_t*>(nullptr), L""}) {
        Certificate certificate = importOne(L"first", password);
        ASSERT_TRUE(certificate);
        EXPECT_FALSE(certificateProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID).empty());
    }
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
    Bytes keyId = GetKeyIdentifier(imported.get());
    ASSERT_EQ(keyId.size(), 20u); // the certificate's Subject Key Identifier
    install(imported);
    Certificate found = FindByKeyIdentifier(keyId);
    ASSERT_TRUE(found);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, found.get()->pCertInfo,
                                       imported.get()->pCertInfo));
    EXPECT_EQ(winErrorOf([] { FindByKeyIdentifier(Bytes(20, 0x5A)); }),
              static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

// Wine's PKCS#12 import puts every key into the one default key container:
// without WineKeyContainers the second key replaces the first. A copy of a
// private key outlives the original; other bytes do not decrypt.
TEST(PrivateKey, TwoImportedKeysBothDecryptAndCopiesOutliveTheOriginal) {
    Certificate first = importOne(L"first");
    install(first);
    Certificate second = importOne(L"second");
    install(second);
    EXPECT_TRUE(roundTrips(first));
    EXPECT_TRUE(roundTrips(second));

    Certificate found = FindByKeyIdentifier(GetKeyIdentifier(second.get()));
    Bytes enciphered = encryptFor(found.get(), kSecret);
    PrivateKey copy;
    {
        PrivateKey key = AcquirePrivateKey(found, GetDesktopWindow());
        EXPECT_EQ(key.owner, GetDesktopWindow());
        copy = key;
    }
    EXPECT_EQ(DecryptWithPrivateKey(copy, enciphered), kSecret);
    EXPECT_NE(winErrorOf([&] { DecryptWithPrivateKey(copy, Bytes(256, 7)); }),
              static_cast<DWORD>(ERROR_SUCCESS));
}

// --- Windows of the system ---

// What Wine's import wizard would leave: the certificate in "MY", its key in
// the user's default container. (Wine 8's wizard cannot read PKCS#12 files.)
Certificate installIntoDefaultContainer(const wchar_t* name, const wchar_t* password, DWORD flags) {
    Bytes pfx = fileBytes(keyFile(name));
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

// The two questions of the unlock, word for word.
const std::wstring kUnable = L"Unable to open the storage. An appropriate ";
const std::wstring kAttachedKeyQuestion =
    kUnable + L"installed key was not found but the storage has the key attached.\n\n"
              L"Do you want to install attached key right now?";
const std::wstring kMissingKeyQuestion =
    kUnable + L"key was not found.\nPlease, install the key that was created with this "
              L"storage and try to open the storage again.\n\nDo you want to install the key "
              L"right now if you have one?";

KeyCertificate keyCertificate(const Certificate& certificate) {
    const CERT_CONTEXT* context = certificate.get();
    return {
        std::vector<BYTE>(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded),
        GetKeyIdentifier(context)};
}

// A storage folder as the unlock sees it, over a root folder of this thread.
class Site : public UnlockSite {
public:
    Site(ComPtr<IStorageFolder> root, std::wstring path, bool isRoot = true)
        : root_(std::move(root)), path_(std::move(path)), isRoot_(isRoot) {}

    GUID storageId() override { return readStorageId(root_.Get()); }
    ComPtr<IStorageFolder> rootFolder() override { return root_; }
    std::wstring storagePath() override { return path_; }
    HWND ownerWindow() override { return nullptr; }
    bool isStorageRoot() override { return isRoot_; }
    void holdKeyReference() override { holdsReference = true; }

    bool holdsReference = false;

private:
    ComPtr<IStorageFolder> root_;
    std::wstring path_;
    bool isRoot_;
};

Box keyPrompt(const std::wstring& text) {
    return Box().caption(L"Coffrex").text(text).icon(Icon::Warning).buttons({IDYES, IDNO});
}

Box errorBox(HRESULT hr) {
    return Box()
        .caption(L"Coffrex")
        .text(L"An error has occured:\n\n" + errorText(static_cast<DWORD>(hr)))
        .icon(Icon::Error);
}

class Unlock : public testing::Test {
protected:
    static void SetUpTestSuite() {
        first_ = new Certificate(importOne(L"first"));
        second_ = new Certificate(importOne(L"second"));
    }
    static void TearDownTestSuite() {
        delete first_;
        delete second_;
    }

    void SetUp() override {
        install(*first_);
        uninstall(*second_);
        saved_ = keyInstallers();
        server_ = connectServer();
    }
    void TearDown() override { keyInstallers() = saved_; }

    // A storage for a key, locked again so that the server needs the key.
    ComPtr<IStorageFolder> lockedStorage(const Certificate& key, const std::wstring& name) {
        const std::wstring path = scratch_.file(name);
        createStorage(server_.Get(), path, keyCertificate(key));
        check(server_->LockStorage(bstr(path).get()));
        return openStorage(server_.Get(), path);
    }

    bool contentsServed(IStorageFolder* root) {
        ComPtr<IStorageEnum> items;
        return SUCCEEDED(root->EnumItems(&items));
    }

    // The installers' stand-in: installs the second key, counting its calls.
    bool installSecond() {
        ++installs_;
        install(importOne(L"second"));
        return true;
    }
    // After the user said Yes: one install, and the server got the key.
    void expectInstalledOnceAndServed(UiRobot& robot, IStorageFolder* root) {
        robot.verify();
        EXPECT_EQ(1, installs_);
        EXPECT_TRUE(contentsServed(root));
        uninstall(*second_);
    }

    static Certificate* first_;
    static Certificate* second_;
    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_;
    KeyInstallers saved_;
    int installs_ = 0;
};

Certificate* Unlock::first_ = nullptr;
Certificate* Unlock::second_ = nullptr;

TEST_F(Unlock, AnInstalledKeyOpensWithoutPromptAndSubFoldersTakeReferences) {
    ComPtr<IStorageFolder> root = lockedStorage(*first_, L"installed.demo-coffrex");
    ASSERT_FALSE(contentsServed(root.Get()));
    UiRobot robot;
    Site site(root, scratch_.file(L"installed.demo-coffrex"));
    EXPECT_TRUE(UnlockStorageKey(site));
    const GUID id = readStorageId(root.Get());
    EXPECT_EQ(1, KeyTable::instance().useCount(id));
    EXPECT_TRUE(site.holdsReference);
    EXPECT_TRUE(contentsServed(root.Get())) << "the server did not get the key";

    Site subFolder(root, site.storagePath(), false);
    EXPECT_TRUE(UnlockStorageKey(subFolder));
    EXPECT_TRUE(subFolder.holdsReference);
    EXPECT_EQ(2, KeyTable::instance().useCount(id));
    Site rootAgain(root, site.storagePath());
    EXPECT_TRUE(UnlockStorageKey(rootAgain));
    EXPECT_FALSE(rootAgain.holdsReference);
    EXPECT_EQ(2, KeyTable::instance().useCount(id));
    KeyTable::instance().releaseReference(id);
    EXPECT_EQ(1, KeyTable::instance().useCount(id));
    robot.verify();

    // The key the server got is the one in the table, in memory only (the
    // engine's tests show it never reaches the container).
    EXPECT_EQ(32u, KeyTable::instance().find(id)->size());
}

TEST_F(Unlock, AnAttachedKeyIsOfferedAndInstalledOnYes) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"attached.demo-coffrex");
    std::vector<BYTE> pfx = fileBytes(keyFile(L"second"));
    writeTextProperty(root.Get(), StorageProperty_AttachedKey, toBase64(pfx));
    check(root->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(kKeyAttached)).get()));

    keyInstallers().installAttachedKey = [&](HWND, const std::wstring& path) {
        EXPECT_EQ(scratch_.file(L"attached.demo-coffrex"), path);
        return installSecond();
    };
    UiRobot robot;
    robot.expect(keyPrompt(kAttachedKeyQuestion)).answer(IDYES);
    Site site(root, scratch_.file(L"attached.demo-coffrex"));
    EXPECT_TRUE(UnlockStorageKey(site));
    expectInstalledOnceAndServed(robot, root.Get());
}

TEST_F(Unlock, DecliningTheAttachedKeyIsACancelledOperation) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"declined.demo-coffrex");
    check(root->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(kKeyAttached)).get()));
    keyInstallers().installAttachedKey = [](HWND, const std::wstring&) {
        ADD_FAILURE() << "installed although the user said No";
        return false;
    };
    UiRobot robot;
    robot.expect(keyPrompt(kAttachedKeyQuestion)).answer(IDNO);
    robot.expect(errorBox(HRESULT_FROM_WIN32(ERROR_CANCELLED))).answer(IDOK);
    Site site(root, scratch_.file(L"declined.demo-coffrex"));
    EXPECT_FALSE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_FALSE(site.holdsReference);
    EXPECT_FALSE(contentsServed(root.Get()));
}

TEST_F(Unlock, WithNeitherKeyTheSecondPromptDecides) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"nokey.demo-coffrex");
    Site site(root, scratch_.file(L"nokey.demo-coffrex"));
    {
        // No: the folder opens empty-handed, without any further box.
        UiRobot robot;
        robot.expect(keyPrompt(kMissingKeyQuestion)).answer(IDNO);
        EXPECT_TRUE(UnlockStorageKey(site));
        robot.verify();
    }
    // Yes with a key file that brings the key: the unlock runs again.
    keyInstallers().installKeyFromFile = [&](HWND) { return installSecond(); };
    UiRobot robot;
    robot.expect(keyPrompt(kMissingKeyQuestion)).answer(IDYES);
    EXPECT_TRUE(UnlockStorageKey(site));
    expectInstalledOnceAndServed(robot, root.Get());
}

TEST_F(Unlock, ADeletedCertificateIsNoLongerFound) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"deleted.demo-coffrex");
    install(*second_);
    Certificate found = FindInstalledKey(root.Get());
    ASSERT_TRUE(found);
    EXPECT_EQ(GetKeyIdentifier(found.get()), GetKeyIdentifier(second_->get()));
    DeleteInstalledCertificate(found);
    EXPECT_FALSE(FindInstalledKey(root.Get()));
}

// A real storage folder whose key properties a test damages: GetProperty
// answers the values set here, every other call goes to the real folder.
class DamagedFolder : public ComObject<IStorageFolder> {
public:
    explicit DamagedFolder(ComPtr<IStorageFolder> real) : real_(std::move(real)) {}
    void set(const GUID& property, const _variant_t& value) { damaged_[property] = value; }

    STDMETHODIMP GetType(LONG* type) override { return real_->GetType(type); }
    STDMETHODIMP GetName(BSTR* name) override { return real_->GetName(name); }
    STDMETHODIMP GetTimes(::ItemTimes* times) override { return real_->GetTimes(times); }
    STDMETHODIMP GetSize(ULONGLONG* size) override { return real_->GetSize(size); }
    STDMETHODIMP GetPath(BSTR* path) override { return real_->GetPath(path); }
    STDMETHODIMP GetProperty(GUID id, VARIANT* value) override {
        auto found = damaged_.find(id);
        if (found == damaged_.end())
            return real_->GetProperty(id, value);
        VariantInit(value);
        return VariantCopy(value, &found->second);
    }
    STDMETHODIMP SetProperty(GUID id, VARIANT value) override {
        return real_->SetProperty(id, value);
    }
    STDMETHODIMP RemoveProperty(GUID id) override { return real_->RemoveProperty(id); }
    STDMETHODIMP ListProperties(ULONG* count, GUID** ids) override {
        return real_->ListProperties(count, ids);
    }
    STDMETHODIMP EnumItems(IStorageEnum** items) override { return real_->EnumItems(items); }
    STDMETHODIMP OpenFolder(BSTR name, VARIANT_BOOL create, IStorageFolder** folder) override {
        return real_->OpenFolder(name, create, folder);
    }
    STDMETHODIMP OpenFile(BSTR name, VARIANT_BOOL create, IStorageFile** file) override {
        return real_->OpenFile(name, create, file);
    }
    STDMETHODIMP RenameItem(BSTR from, BSTR to) override { return real_->RenameItem(from, to); }
    STDMETHODIMP DeleteItem(BSTR name) override { return real_->DeleteItem(name); }
    STDMETHODIMP GetItem(BSTR name, IStorageObject** item) override {
        return real_->GetItem(name, item);
    }
    STDMETHODIMP GetItemInfo(BSTR name, IStorageItem** item) override {
        return real_->GetItemInfo(name, item);
    }

private:
    ComPtr<IStorageFolder> real_;
    std::map<GUID, _variant_t, GuidLess> damaged_;
};

class Damaged : public Unlock {
protected:
    ComPtr<IStorageFolder> damage(const GUID& property, const _variant_t& value) {
        if (!copy_) {
            const std::wstring name = L"damaged" + std::to_wstring(++made_) + L".demo-coffrex";
            copy_ = cfx::adopt(new DamagedFolder(lockedStorage(*first_, name)));
        }
        static_cast<DamagedFolder*>(copy_.Get())->set(property, value);
        return copy_;
    }

    ComPtr<IStorageFolder> copy_;
    int made_ = 0;
};

// Each damage ends in the error box (with the HRESULT's text when one is
// given) and leaves nothing in the key table.
TEST_F(Damaged, DamagedKeyPropertiesAreErrors) {
    install(*second_);
    auto bytesOf = [this](const GUID& property) {
        return readBytesProperty(damage(StorageProperty_Comment, _variant_t()).Get(), property);
    };
    const struct {
        const char* name;
        GUID property;
        std::function<_variant_t()> value;
        HRESULT shown; // S_OK: any error text
    } cases[] = {
        {"record with a changed byte", StorageProperty_KeyRecord,
         [&] {
             std::vector<BYTE> record = bytesOf(StorageProperty_KeyRecord);
             record[record.size() / 2] ^= 0x55;
             return _variant_t(toBase64(record).c_str());
         },
         S_OK},
        {"record that is no Base64", StorageProperty_KeyRecord, [] { return _variant_t(L"A"); },
         E_UNEXPECTED},
        {"short state", StorageProperty_KeyState,
         [] {
             return _variant_t(toBase64({1, 2, 3, 4, 5, 6, 7, 8}).c_str());
         },
         E_UNEXPECTED},
        {"state that is no Base64", StorageProperty_KeyState, [] { return _variant_t(L"@@@B"); },
         E_UNEXPECTED},
        {"state naming another key", StorageProperty_KeyState,
         [&] {
             std::vector<BYTE> state = bytesOf(StorageProperty_KeyState);
             const std::vector<BYTE> secondId = GetKeyIdentifier(second_->get());
             EXPECT_EQ(secondId.size(), state[6] | static_cast<size_t>(state[7]) << 8);
             std::copy(secondId.begin(), secondId.end(), state.begin() + 16);
             return _variant_t(toBase64(state).c_str());
         },
         S_OK},
        {"key id of another type", StorageProperty_KeyId, [] { return _variant_t(1L); },
         E_UNEXPECTED},
        {"key id that is no Base64", StorageProperty_KeyId, [] { return _variant_t(L"QUJDR"); },
         E_UNEXPECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        copy_.Reset();
        ComPtr<IStorageFolder> root = damage(c.property, c.value());
        UiRobot robot;
        Box box = c.shown == S_OK ? Box().caption(L"Coffrex").icon(Icon::Error) : errorBox(c.shown);
        robot.expect(box).answer(IDOK);
        Site site(root, scratch_.file(L"damaged.demo-coffrex"));
        EXPECT_FALSE(UnlockStorageKey(site));
        robot.verify();
        EXPECT_EQ(-1, KeyTable::instance().useCount(readStorageId(root.Get())));
    }
    uninstall(*second_);
}

// A window of the test's thread that starts an unlock when a message comes,
// as a prompt's message loop would dispatch it.
struct NestedUnlock {
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_APP) {
            auto* self = reinterpret_cast<NestedUnlock*>(lparam);
            self->result = UnlockStorageKey(*self->site) ? 1 : 0;
            return 0;
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }
    UnlockSite* site = nullptr;
    int result = -1;
};

TEST_F(Unlock, AnUnlockStartedWhileOneRunsReturnsFalseWithoutABox) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"nested.demo-coffrex");
    check(root->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(kKeyAttached)).get()));
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = NestedUnlock::proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"NestedUnlockTest";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"NestedUnlockTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, window);

    Site site(root, scratch_.file(L"nested.demo-coffrex"));
    NestedUnlock nested;
    nested.site = &site;
    // Dispatched by the first prompt's message loop.
    PostMessageW(window, WM_APP, 0, reinterpret_cast<LPARAM>(&nested));
    UiRobot robot;
    robot.expect(keyPrompt(kAttachedKeyQuestion)).answer(IDNO);
    robot.expect(errorBox(HRESULT_FROM_WIN32(ERROR_CANCELLED))).answer(IDOK);
    EXPECT_FALSE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_EQ(0, nested.result) << "the nested unlock did not run or did not return false";
    DestroyWindow(window);
}

} // namespace
} // namespace cfx::store::test
