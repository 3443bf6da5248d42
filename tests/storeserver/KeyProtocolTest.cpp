// The keys of a storage: the key record a certificate's private key opens,
// the key-state request and its answer, and the refusals: another storage's
// key, another session's answer, records that are not answers.
#include "common/Base64.h"
#include "common/Handles.h"
#include "Container.h"
#include "KeyClient.h"
#include "KeyStateRecord.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <algorithm>

namespace cfx::store::test {
namespace {

// What a client holding the certificate does: finds it in "MY" by the key
// identifier the key-state request names, and opens the key record with its private key.
StorageKey storageKeyOf(Item root) {
    std::vector<BYTE> keyId = keyIdOfKeyState(fromBase64(readText(root, StorageProperty_KeyState)));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(keyId.size()), keyId.data()};
    CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    Certificate certificate(CertFindCertificateInStore(store.get(),
                                                       X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                       CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    HCRYPTPROV provider = 0;
    DWORD keyKind = 0;
    BOOL release = FALSE;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(certificate.get(), 0, nullptr, &provider,
                                                  &keyKind, &release));
    CryptProvider held(release ? provider : 0);
    CryptKey key;
    EXPECT_TRUE(CryptGetUserKey(provider, keyKind, key.put()));
    return decryptKeyRecord(key.get(), fromBase64(readText(root, StorageProperty_KeyRecord)));
}

class KeyProtocolTest : public testing::Test {
protected:
    // Empty: no text (a VT_BOOL).
    void setKeyState(const std::wstring& text) {
        const Variant value = text.empty() ? Variant(true) : Variant(text);
        root.setProperty(StorageProperty_KeyState, value.get());
    }

    ScratchFolder scratch;
    std::wstring path = scratch.file(L"keys.demo-coffrex");
    std::shared_ptr<Container> storage = newContainer(path);
    Item root = storage->root();
};

TEST_F(KeyProtocolTest, OnlyThisSessionsAnswerWithThisStoragesKeyUnlocks) {
    storage->root().openFile(L"inside.txt", true)->openStream().write(0, "unlocked", 8);
    storage->close();
    const std::vector<BYTE> raw = fileBytes(path);
    storage = Container::open(path);
    root = storage->root();
    auto other = newContainer(scratch.file(L"other.demo-coffrex")); // another storage key
    other->lock();
    // The request names the certificate and carries the session's public key.
    const std::wstring request = readText(root, StorageProperty_KeyState);
    const std::vector<BYTE> requestBytes = fromBase64(request);
    EXPECT_EQ(keyIdOfKeyState(requestBytes), firstCertificate().keyId);
    EXPECT_EQ(KeyStateRecord::decode(requestBytes).payload.at(0), PUBLICKEYBLOB);
    const StorageKey key = storageKeyOf(root);
    ASSERT_FALSE(raw.empty()); // the storage key is never in the file
    EXPECT_EQ(std::search(raw.begin(), raw.end(), key.data(), key.data() + 16), raw.end());
    EXPECT_EQ(std::search(raw.begin(), raw.end(), key.data() + 16, key.data() + 32), raw.end());

    const std::vector<BYTE> answer = answerKeyState(requestBytes, key);
    std::vector<BYTE> otherSession = answer, damaged = answer;
    otherSession[8] ^= 0x5A;
    damaged[damaged.size() - 3] ^= 0x01;
    const std::pair<std::wstring, HRESULT> refused[] = {
        {request, E_INVALIDARG}, // the request itself carries no key
        {L"AAAAAAAAAAAAAAAAAAAAAA==", E_INVALIDARG},
        {L"TWFuT", E_INVALIDARG}, // a dangling character
        {L"", DISP_E_TYPEMISMATCH},
        {toBase64(otherSession), E_ACCESSDENIED},
        {toBase64(damaged), E_ACCESSDENIED}, // a damaged wrapped key
    };
    for (const auto& [value, hr] : refused)
        EXPECT_EQ(errorOf([&] { setKeyState(value); }), hr) << std::hex << hr;
    // My key, answered to the other storage's request.
    const Variant wrong(toBase64(
        answerKeyState(fromBase64(readText(other->root(), StorageProperty_KeyState)), key)));
    EXPECT_EQ(errorOf([&] { other->root().setProperty(StorageProperty_KeyState, wrong.get()); }),
              E_ACCESSDENIED);
    EXPECT_EQ(errorOf([&] { other->unlock(key); }), E_ACCESSDENIED);
    EXPECT_FALSE(other->isUnlocked() || storage->isUnlocked());
    setKeyState(toBase64(answer));
    char text[8] = {};
    EXPECT_EQ(root.item(L"inside.txt").openStream().read(0, text, 8), 8u);
    EXPECT_EQ(std::string(text, 8), "unlocked");
}

TEST_F(KeyProtocolTest, CreatingNeedsACertificateAndMakesNothingWithout) {
    std::vector<BYTE> notCertificate(300, 0x30);
    const std::wstring fresh = scratch.file(L"new.demo-coffrex");
    EXPECT_EQ(errorOf([&] { Container::create(fresh, notCertificate.data(), 300); }), E_INVALIDARG);
    EXPECT_EQ(GetFileAttributesW(fresh.c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
} // namespace cfx::store::test
