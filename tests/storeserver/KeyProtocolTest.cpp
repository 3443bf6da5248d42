// The keys of a storage: the key record a certificate's private key opens,
// the key-state record and its answer, and the refusals: another storage's
// key, another session's answer, records that are not answers.
#include "common/Base64.h"
#include "common/Handles.h"
#include "Container.h"
#include "KeyClient.h"
#include "KeyStateRecord.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace cfx::store::test {
namespace {

// What a client holding the certificate does, spelled out with CryptoAPI as
// the library does it: the key identifier from its documented place in the
// key-state record, the certificate found by it in "MY", the key record
// decrypted in place with the certificate's private key.
StorageKey storageKeyWithCryptoApi(Item root) {
    std::vector<BYTE> state = fromBase64(readText(root, StorageProperty_KeyState));
    EXPECT_GE(state.size(), 16u);
    size_t n = state[6] | (state[7] << 8);
    EXPECT_LE(16 + n, state.size());
    CRYPT_HASH_BLOB keyId{static_cast<DWORD>(n), state.data() + 16};
    CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    Certificate certificate(CertFindCertificateInStore(store.get(),
                                                       X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                       CERT_FIND_KEY_IDENTIFIER, &keyId, nullptr));
    EXPECT_TRUE(certificate) << "certificate not found: " << std::hex << GetLastError();
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    BOOL release = FALSE;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(certificate.get(), 0, nullptr, &provider,
                                                  &keySpec, &release));
    CryptProvider held(release ? provider : 0);
    CryptKey key;
    EXPECT_TRUE(CryptGetUserKey(provider, keySpec, key.put()));
    std::vector<BYTE> record = fromBase64(readText(root, StorageProperty_KeyRecord));
    DWORD length = static_cast<DWORD>(record.size());
    EXPECT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, record.data(), &length));
    EXPECT_EQ(length, 32u);
    return StorageKey(record.data(), 32);
}

class KeyProtocolTest : public testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring path = scratch.file(L"keys.demo-coffrex");
};

TEST_F(KeyProtocolTest, TheFullUnlockProtocolWithTheCertificatesPrivateKey) {
    {
        auto storage = newContainer(path);
        FileStream stream = storage->root().openFile(L"inside.txt", true)->openStream();
        stream.write(0, "unlocked", 8);
        stream.commit();
    }
    auto storage = Container::open(path);
    Item root = storage->root();
    ASSERT_FALSE(storage->isUnlocked());

    // The request names the certificate and carries the session's public key.
    std::vector<BYTE> request = fromBase64(readText(root, StorageProperty_KeyState));
    ASSERT_GE(request.size(), 16u);
    EXPECT_TRUE(std::equal(request.begin(), request.begin() + 4, "CFXK"));
    EXPECT_EQ(request[5], 1); // a request
    EXPECT_EQ(keyIdOfKeyState(request), firstCertificate().keyId);
    KeyStateRecord decoded = KeyStateRecord::decode(request);
    ASSERT_GE(decoded.payload.size(), sizeof(BLOBHEADER));
    EXPECT_EQ(decoded.payload[0], PUBLICKEYBLOB);

    EXPECT_EQ(fromBase64(readText(root, StorageProperty_KeyId)), firstCertificate().keyId);
    EXPECT_EQ(fromBase64(readText(root, StorageProperty_KeyRecord)).size(), 256u); // one RSA block
    StorageKey key = storageKeyWithCryptoApi(root);
    // The storage key is never in the file.
    auto raw = fileBytes(path);
    EXPECT_EQ(std::search(raw.begin(), raw.end(), key.data(), key.data() + 16), raw.end());
    EXPECT_EQ(std::search(raw.begin(), raw.end(), key.data() + 16, key.data() + 32), raw.end());
    std::vector<BYTE> answer = answerKeyState(request, key);
    EXPECT_EQ(answer[5], 2); // an answer
    EXPECT_EQ(keyIdOfKeyState(answer), firstCertificate().keyId);
    root.setProperty(StorageProperty_KeyState, Variant(std::wstring(toBase64(answer))).get());
    ASSERT_TRUE(storage->isUnlocked());
    char text[8] = {};
    EXPECT_EQ(root.item(L"inside.txt").openStream().read(0, text, 8), 8u);
    EXPECT_EQ(std::string(text, 8), "unlocked");
}

TEST_F(KeyProtocolTest, AStorageForAnotherKeyCannotBeUnlocked) {
    std::wstring otherPath = scratch.file(L"other.demo-coffrex");
    const KeyCertificate& second = secondCertificate();
    newContainer(path)->close();
    Container::create(otherPath, second.encoded.data(), second.encoded.size())->close();

    auto mine = Container::open(path);
    auto other = Container::open(otherPath);
    StorageKey myKey = storageKeyWithCryptoApi(mine->root());
    EXPECT_EQ(fromBase64(readText(other->root(), StorageProperty_KeyId)), second.keyId);

    // My key, answered to the other storage's request.
    std::vector<BYTE> request = fromBase64(readText(other->root(), StorageProperty_KeyState));
    std::wstring wrong = toBase64(answerKeyState(request, myKey));
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] {
        other->root().setProperty(StorageProperty_KeyState, Variant(std::wstring(wrong)).get());
    }));
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { other->unlock(myKey); }));
    EXPECT_FALSE(other->isUnlocked());
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { other->root().list(); }));

    // Its own key still opens it.
    unlockWithInstalledKey(*other);
    EXPECT_TRUE(other->isUnlocked());
}

TEST_F(KeyProtocolTest, RecordsThatAreNotAnswersOfThisSessionAreRefused) {
    newContainer(path)->close();
    auto storage = Container::open(path);
    Item root = storage->root();
    std::wstring request = readText(root, StorageProperty_KeyState);
    // The request itself carries no key; nor does text that is not a record.
    // (No text: a VT_BOOL is sent.)
    const std::pair<std::wstring, HRESULT> refused[] = {{request, E_INVALIDARG},
                                                        {L"AAAAAAAAAAAAAAAAAAAAAA==", E_INVALIDARG},
                                                        {L"", DISP_E_TYPEMISMATCH}};
    for (const auto& [text, hr] : refused) {
        const Variant value = text.empty() ? Variant(true) : Variant(text);
        EXPECT_TRUE(failsWith(hr, [&] { root.setProperty(StorageProperty_KeyState, value.get()); }))
            << std::hex << hr;
    }
    // A right answer made for another session.
    std::vector<BYTE> answer = answerKeyState(fromBase64(request), storageKeyWithCryptoApi(root));
    answer[8] ^= 0x5A;
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] {
        root.setProperty(StorageProperty_KeyState, Variant(std::wstring(toBase64(answer))).get());
    }));
    // A damaged wrapped key.
    answer[8] ^= 0x5A;
    answer[answer.size() - 3] ^= 0x01;
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] {
        root.setProperty(StorageProperty_KeyState, Variant(std::wstring(toBase64(answer))).get());
    }));
    EXPECT_FALSE(storage->isUnlocked());
    unlockWithInstalledKey(*storage);
    EXPECT_TRUE(storage->isUnlocked());
}

TEST_F(KeyProtocolTest, CreatingNeedsACertificateWithAnRsaKeyAndAFreePath) {
    std::vector<BYTE> notCertificate(300, 0x30);
    EXPECT_TRUE(failsWith(E_INVALIDARG, [&] {
        Container::create(path, notCertificate.data(), notCertificate.size());
    }));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    newContainer(path)->close();
    EXPECT_TRUE(failsWith(STG_E_FILEALREADYEXISTS, [&] { newContainer(path); }));
}

} // namespace
} // namespace cfx::store::test
