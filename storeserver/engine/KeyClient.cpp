#include "KeyClient.h"

#include "Base64.h"
#include "KeyStateRecord.h"
#include "StoreError.h"

#include <cstring>

namespace cfx::store {

namespace {

struct KeyHolder {
    HCRYPTKEY key = 0;
    ~KeyHolder() {
        if (key)
            CryptDestroyKey(key);
    }
};

struct ProviderHolder {
    HCRYPTPROV provider = 0;
    bool release = false;
    ~ProviderHolder() {
        if (provider && release)
            CryptReleaseContext(provider, 0);
    }
};

} // namespace

std::vector<BYTE> keyIdOfKeyState(const std::vector<BYTE>& record) {
    return KeyStateRecord::decode(record).keyId;
}

StorageKey decryptKeyRecord(HCRYPTKEY privateKey, const std::vector<BYTE>& keyRecord) {
    std::vector<BYTE> buffer(keyRecord);
    DWORD length = static_cast<DWORD>(buffer.size());
    BOOL done = CryptDecrypt(privateKey, 0, TRUE, 0, buffer.data(), &length);
    DWORD error = GetLastError();
    if (!done || length != StorageKey::size()) {
        SecureZeroMemory(buffer.data(), buffer.size());
        if (!done) {
            SetLastError(error);
            failLastError(L"Unable to decrypt the storage's key record");
        }
        fail(E_ACCESSDENIED, L"The key record does not hold a storage key.");
    }
    StorageKey key(buffer.data(), length);
    SecureZeroMemory(buffer.data(), buffer.size());
    return key;
}

std::vector<BYTE> answerKeyState(const std::vector<BYTE>& request, const StorageKey& key) {
    KeyStateRecord record = KeyStateRecord::decode(request);
    if (record.kind != KeyStateRecord::Kind::Request)
        fail(E_INVALIDARG, L"The key-state record is not a request.");
    KeyHolder sessionKey;
    if (!CryptImportKey(cryptoProvider(), record.payload.data(),
                        static_cast<DWORD>(record.payload.size()), 0, 0, &sessionKey.key))
        failLastError(L"Unable to import the storage server's session key");
    DWORD bits = 0, size = sizeof bits;
    if (!CryptGetKeyParam(sessionKey.key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0))
        failLastError(L"Unable to read the length of the session key");
    DWORD capacity = (bits + 7) / 8;
    if (capacity < StorageKey::size() + 11)
        fail(E_INVALIDARG, L"The storage server's session key is too short.");
    std::vector<BYTE> wrapped(capacity);
    std::memcpy(wrapped.data(), key.data(), key.size());
    DWORD length = static_cast<DWORD>(key.size());
    if (!CryptEncrypt(sessionKey.key, 0, TRUE, 0, wrapped.data(), &length, capacity))
        failLastError(L"Unable to encipher the storage key for the server");
    wrapped.resize(length);
    record.kind = KeyStateRecord::Kind::Answer;
    record.payload = std::move(wrapped);
    return record.encode();
}

std::wstring answerWithCertificate(PCCERT_CONTEXT certificate, const std::wstring& keyRecord,
                                   const std::wstring& keyState, DWORD acquireFlags) {
    std::vector<BYTE> record = fromBase64(keyRecord);
    std::vector<BYTE> request = fromBase64(keyState);
    ProviderHolder provider;
    DWORD keySpec = 0;
    BOOL release = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, acquireFlags, nullptr, &provider.provider,
                                           &keySpec, &release))
        failLastError(L"Unable to acquire the certificate's private key");
    provider.release = release != FALSE;
    KeyHolder privateKey;
    if (!CryptGetUserKey(provider.provider, keySpec, &privateKey.key))
        failLastError(L"Unable to open the certificate's private key");
    StorageKey key = decryptKeyRecord(privateKey.key, record);
    return toBase64(answerKeyState(request, key));
}

std::wstring answerWithStore(HCERTSTORE store, const std::wstring& keyRecord,
                             const std::wstring& keyState, DWORD acquireFlags) {
    std::vector<BYTE> keyId = keyIdOfKeyState(fromBase64(keyState));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(keyId.size()), keyId.data()};
    PCCERT_CONTEXT certificate =
        CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_KEY_IDENTIFIER, &blob, nullptr);
    if (!certificate)
        failLastError(L"Unable to find the storage's key certificate");
    try {
        std::wstring answer = answerWithCertificate(certificate, keyRecord, keyState, acquireFlags);
        CertFreeCertificateContext(certificate);
        return answer;
    } catch (...) {
        CertFreeCertificateContext(certificate);
        throw;
    }
}

} // namespace cfx::store
