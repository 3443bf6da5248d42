// Keys made by openssl at build time (bin/testkeys, PKCS#12), imported into
// the test's own prefix: the certificate holders and store operations, and
// unlocking storages of the real storage server with them (the key table,
// both prompts answered by the robot, the error box).
#include "storeserver/RemoteStorage.h"

#include "common/Base64.h"
#include "server/CertificateStore.h"
#include "server/ErrorReport.h"
#include "server/KeyTable.h"
#include "server/StorageProperties.h"
#include "server/StorageUnlock.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"

#include <functional>

namespace cfx::store::test {
namespace {

using namespace cfx::server;
using cfx::test::Box;
using cfx::test::Icon;
using cfx::test::UiRobot;
using Bytes = std::vector<BYTE>;

std::wstring keyFile(const wchar_t* name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

void install(const Certificate& certificate) {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    checkLastError(CertAddCertificateContextToStore(my.get(), certificate.get(),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

void uninstall(const Certificate& certificate) {
    try {
        DeleteInstalledCertificate(FindByKeyIdentifier(GetKeyIdentifier(certificate.get())));
    } catch (const cfx::win_except&) {
    }
}

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
    buffer.resize(512);
    DWORD length = static_cast<DWORD>(plain.size());
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) ||
        !CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING,
                                  &certificate->pCertInfo->SubjectPublicKeyInfo, key.put()) ||
        !CryptEncrypt(key.get(), 0, TRUE, 0, buffer.data(), &length, 512))
        return {};
    buffer.resize(length);
    return buffer;
}

// --- Holders: every reference taken is given back, and only once ---

// A memory store with a certificate: closing it with the check flag fails
// with CRYPT_E_PENDING_CLOSE while a reference to it or its certificate is left.
HCERTSTORE storeWithCertificate() {
    static const Certificate certificate = importOne(L"first");
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertAddCertificateContextToStore(store, certificate.get(), CERT_STORE_ADD_ALWAYS, nullptr);
    return store;
}

template <class Holder> void copyAround(const Holder& original) {
    Holder copy(original), assigned;
    assigned = copy;
    assigned = original; // gives one reference back, takes another
    Holder moved(std::move(copy));
    EXPECT_FALSE(copy);
    assigned = std::move(moved);
    const Holder& same = assigned;
    assigned = same;
    EXPECT_EQ(assigned.get(), original.get());
}

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
    Holder last(kept);
}

PCCERT_CONTEXT firstIn(HCERTSTORE store) {
    return CertEnumCertificatesInStore(store, nullptr);
}

TEST(CryptHandles, CopiesCountReferencesAndOutliveTheOriginals) {
    expectExactReferences<Certificate>(firstIn);
    expectExactReferences<CertificateStore>(CertDuplicateStore);
    expectExactReferences<CertificateChain>([](HCERTSTORE store) {
        Certificate end(firstIn(store));
        CERT_CHAIN_PARA para{sizeof para};
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        CertGetCertificateChain(nullptr, end.get(), nullptr, nullptr, &para, 0, nullptr, &chain);
        return chain;
    });
    CryptProvider provider;
    ASSERT_TRUE(
        CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    CryptKey key;
    ASSERT_TRUE(CryptGenKey(provider.get(), CALG_RC4, 0, key.put()));
    CryptProvider providerCopy(provider);
    CryptKey keyCopy(key);
    key.reset();
    provider.reset();
    BYTE data[4] = {1, 2, 3, 4};
    DWORD length = sizeof data;
    EXPECT_TRUE(CryptEncrypt(keyCopy.get(), 0, TRUE, 0, data, &length, sizeof data));
}

// Wine's PKCS#12 import puts every key into one default container: without
// moving them out, the second key would replace the first.
TEST(Keys, ImportWithTheRightPasswordOnlyAndEachInstalledKeyDecrypts) {
    EXPECT_TRUE(importOne(L"protected", L"secret"));
    for (const wchar_t* password : {static_cast<const wchar_t*>(nullptr), L"", L"wrong"})
        EXPECT_EQ(winErrorOf([&] { ImportPfxFile(keyFile(L"protected"), password); }),
                  static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(winErrorOf([] { ImportPfxFile(keyFile(L"absent"), nullptr); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(winErrorOf([] { FindByKeyIdentifier(Bytes(20, 0x5A)); }),
              static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    const Bytes secret = {'k', 'e', 'y', 0, 1, 255};
    std::vector<Certificate> keys;
    for (const wchar_t* name : {L"first", L"second"})
        keys.push_back(importOne(name)), install(keys.back());
    for (const Certificate& imported : keys) {
        Certificate found = FindByKeyIdentifier(GetKeyIdentifier(imported.get()));
        PrivateKey copy;
        {
            PrivateKey key = AcquirePrivateKey(found);
            copy = key; // outlives the original
        }
        EXPECT_EQ(DecryptWithPrivateKey(copy, encryptFor(found.get(), secret)), secret);
        EXPECT_NE(winErrorOf([&] { DecryptWithPrivateKey(copy, Bytes(256, 7)); }),
                  static_cast<DWORD>(ERROR_SUCCESS));
    }
}

// --- Unlocking ---

const std::wstring kUnable = L"Unable to open the storage. An appropriate ";
const std::wstring kAttachedKeyQuestion =
    kUnable + L"installed key was not found but the storage has the key attached.\n\n"
              L"Do you want to install attached key right now?";
const std::wstring kMissingKeyQuestion =
    kUnable + L"key was not found.\nPlease, install the key that was created with this "
              L"storage and try to open the storage again.\n\nDo you want to install the key "
              L"right now if you have one?";

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

const Box kCancelledBox =
    Box()
        .caption(L"Coffrex")
        .text(L"An error has occured:\n\n" + errorText(static_cast<DWORD>(ERROR_CANCELLED)))
        .icon(Icon::Error);

class Unlock : public testing::Test {
protected:
    void SetUp() override {
        install(first_);
        uninstall(second_);
        saved_ = keyInstallers();
        // The installers' stand-in: installs the second key, counting its calls.
        keyInstallers().installAttachedKey = [this](HWND, const std::wstring& path) {
            EXPECT_EQ(path_, path);
            return ++installs_, install(second_), true;
        };
        keyInstallers().installKeyFromFile = [this](HWND) {
            return ++installs_, install(second_), true;
        };
    }
    void TearDown() override {
        keyInstallers() = saved_;
        uninstall(second_);
    }

    // A storage for a key, locked again so that the server needs the key.
    ComPtr<IStorageFolder> lockedStorage(const Certificate& key, bool attached = false) {
        path_ = scratch_.file(L"s" + std::to_wstring(++made_) + L".demo-coffrex");
        const CERT_CONTEXT* c = key.get();
        auto root = createStorage(
            server_.Get(), path_,
            {Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), GetKeyIdentifier(c)});
        if (attached)
            check(root->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(kKeyAttached)).get()));
        check(server_->LockStorage(bstr(path_).get()));
        return openStorage(server_.Get(), path_);
    }
    static bool contentsServed(IStorageFolder* root) {
        ComPtr<IStorageEnum> items;
        return SUCCEEDED(root->EnumItems(&items));
    }

    const Certificate first_ = importOne(L"first"), second_ = importOne(L"second");
    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_ = connectServer();
    KeyInstallers saved_;
    std::wstring path_;
    int installs_ = 0, made_ = 0;
};

TEST_F(Unlock, AnInstalledKeyOpensWithoutPromptAndSubFoldersTakeReferences) {
    ComPtr<IStorageFolder> root = lockedStorage(first_);
    ASSERT_FALSE(contentsServed(root.Get()));
    UiRobot robot;
    Site site(root, path_), subFolder(root, path_, false), rootAgain(root, path_);
    EXPECT_TRUE(UnlockStorageKey(site));
    const GUID id = readStorageId(root.Get());
    EXPECT_EQ(1, KeyTable::instance().useCount(id));
    EXPECT_TRUE(site.holdsReference);
    EXPECT_TRUE(contentsServed(root.Get())) << "the server did not get the key";
    EXPECT_TRUE(UnlockStorageKey(subFolder));
    EXPECT_TRUE(subFolder.holdsReference);
    EXPECT_EQ(2, KeyTable::instance().useCount(id));
    EXPECT_TRUE(UnlockStorageKey(rootAgain));
    EXPECT_FALSE(rootAgain.holdsReference);
    EXPECT_EQ(2, KeyTable::instance().useCount(id));
    KeyTable::instance().releaseReference(id);
    EXPECT_EQ(1, KeyTable::instance().useCount(id));
    robot.verify();
    EXPECT_EQ(32u, KeyTable::instance().find(id)->size());
}

// The key of the storage not installed: the attached key or a key file is
// offered; Yes installs it once and the unlock runs again, No on the attached
// key is a cancelled operation, No on the key file opens the folder empty-handed.
TEST_F(Unlock, AMissingKeyIsOfferedAndInstalledOnYes) {
    const struct {
        bool attached;
        int answer;
        bool served;
    } rows[] = {
        {true, IDYES, true}, {true, IDNO, false}, {false, IDYES, true}, {false, IDNO, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.attached << " " << row.answer);
        installs_ = 0;
        ComPtr<IStorageFolder> root = lockedStorage(second_, row.attached);
        UiRobot robot;
        robot.expect(keyPrompt(row.attached ? kAttachedKeyQuestion : kMissingKeyQuestion))
            .answer(row.answer);
        if (row.attached && row.answer == IDNO)
            robot.expect(kCancelledBox).answer(IDOK);
        Site site(root, path_);
        EXPECT_EQ(row.served || !row.attached, UnlockStorageKey(site));
        robot.verify();
        EXPECT_EQ(row.served, site.holdsReference);
        EXPECT_EQ(row.served ? 1 : 0, installs_);
        EXPECT_EQ(row.served, contentsServed(root.Get()));
        uninstall(second_);
    }
}

// A window of the test's thread that starts an unlock when a message comes,
// as a prompt's message loop would dispatch it.
struct NestedUnlock {
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message != WM_APP)
            return DefWindowProcW(window, message, wparam, lparam);
        auto* self = reinterpret_cast<NestedUnlock*>(lparam);
        self->result = UnlockStorageKey(*self->site) ? 1 : 0;
        return 0;
    }
    UnlockSite* site = nullptr;
    int result = -1;
};

TEST_F(Unlock, AnUnlockStartedWhileOneRunsReturnsFalseWithoutABox) {
    ComPtr<IStorageFolder> root = lockedStorage(second_, true);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = NestedUnlock::proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"NestedUnlockTest";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"NestedUnlockTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    Site site(root, path_);
    NestedUnlock nested{&site};
    PostMessageW(window, WM_APP, 0, reinterpret_cast<LPARAM>(&nested));
    UiRobot robot;
    robot.expect(keyPrompt(kAttachedKeyQuestion)).answer(IDNO);
    robot.expect(kCancelledBox).answer(IDOK);
    EXPECT_FALSE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_EQ(0, nested.result) << "the nested unlock did not run or did not return false";
    DestroyWindow(window);
}

} // namespace
} // namespace cfx::store::test
