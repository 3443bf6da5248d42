#include "KeyClient.h"

#include "KeyStateRecord.h"
#include "StoreError.h"

#include "common/Base64.h"
#include "common/Handles.h"

#include <cstring>

namespace cfx::store {

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
    CryptKey sessionKey;
    if (!CryptImportKey(cryptoProvider(), record.payload.data(),
                        static_cast<DWORD>(record.payload.size()), 0, 0, sessionKey.put()))
        failLastError(L"Unable to import the storage server's session key");
    DWORD bits = 0, size = sizeof bits;
    if (!CryptGetKeyParam(sessionKey.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0))
        failLastError(L"Unable to read the length of the session key");
    DWORD capacity = (bits + 7) / 8;
    if (capacity < StorageKey::size() + 11)
        fail(E_INVALIDARG, L"The storage server's session key is too short.");
    std::vector<BYTE> wrapped(capacity);
    std::memcpy(wrapped.data(), key.data(), key.size());
    DWORD length = static_cast<DWORD>(key.size());
    if (!CryptEncrypt(sessionKey.get(), 0, TRUE, 0, wrapped.data(), &length, capacity))
        failLastError(L"Unable to encipher the storage key for the server");
    wrapped.resize(length);
    record.kind = KeyStateRecord::Kind::Answer;
    record.payload = std::move(wrapped);
    return record.encode();
}

std::wstring answerWithCertificate(PCCERT_CONTEXT certificate, const std::wstring& keyRecord,
                                   const std::wstring& keyState, DWORD acquireFlags) {
    std::vector<BYTE> record = keyTextBytes(keyRecord);
    std::vector<BYTE> request = keyTextBytes(keyState);
    HCRYPTPROV provider = 0;
    DWORD keyKind = 0;
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, acquireFlags, nullptr, &provider, &keyKind,
                                           &callerFrees))
        failLastError(L"Unable to acquire the certificate's private key");
    // A provider that the certificate caches stays the certificate's.
    CryptProvider owned(callerFrees ? provider : 0);
    CryptKey privateKey;
    if (!CryptGetUserKey(provider, keyKind, privateKey.put()))
        failLastError(L"Unable to open the certificate's private key");
    StorageKey key = decryptKeyRecord(privateKey.get(), record);
    return toBase64(answerKeyState(request, key));
}

std::wstring answerWithStore(HCERTSTORE store, const std::wstring& keyRecord,
                             const std::wstring& keyState, DWORD acquireFlags) {
    std::vector<BYTE> keyId = keyIdOfKeyState(keyTextBytes(keyState));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(keyId.size()), keyId.data()};
    Certificate certificate(CertFindCertificateInStore(store,
                                                       X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                       CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    if (!certificate)
        failLastError(L"Unable to find the storage's key certificate");
    return answerWithCertificate(certificate.get(), keyRecord, keyState, acquireFlags);
}

} // namespace cfx::store
