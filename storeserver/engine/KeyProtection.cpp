#include "KeyProtection.h"

#include "StoreError.h"

#include <cstring>

namespace cfx::store {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

DWORD keyBytes(HCRYPTKEY key) {
    DWORD bits = 0, size = sizeof bits;
    if (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0))
        failLastError(L"Unable to read the length of an RSA key");
    return (bits + 7) / 8;
}

} // namespace

std::vector<BYTE> certificateKeyId(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID, nullptr,
                                          &size) &&
        size > 0) {
        std::vector<BYTE> id(size);
        if (CertGetCertificateContextProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID, id.data(),
                                              &size)) {
            id.resize(size);
            return id;
        }
    }
    std::vector<BYTE> hash(20);
    DWORD hashSize = static_cast<DWORD>(hash.size());
    if (!CryptHashPublicKeyInfo(0, CALG_SHA1, 0, X509_ASN_ENCODING,
                                &certificate->pCertInfo->SubjectPublicKeyInfo, hash.data(),
                                &hashSize))
        failLastError(L"Unable to compute the certificate's key identifier");
    hash.resize(hashSize);
    return hash;
}

CertificateProtection protectForCertificate(const BYTE* certificate, size_t size,
                                            const StorageKey& key) {
    Certificate cert(
        CertCreateCertificateContext(kEncoding, certificate, static_cast<DWORD>(size)));
    if (!cert)
        fail(E_INVALIDARG, L"The certificate is not a DER-encoded X.509 certificate.");
    CERT_PUBLIC_KEY_INFO& info = cert.get()->pCertInfo->SubjectPublicKeyInfo;
    if (!info.Algorithm.pszObjId || std::strcmp(info.Algorithm.pszObjId, szOID_RSA_RSA) != 0)
        fail(E_INVALIDARG, L"The certificate's key is not an RSA key.");

    CertificateProtection result;
    result.keyId = certificateKeyId(cert.get());
    CryptKey publicKey;
    if (!CryptImportPublicKeyInfo(cryptoProvider(), X509_ASN_ENCODING, &info, publicKey.put()))
        failLastError(L"Unable to import the certificate's public key");
    DWORD capacity = keyBytes(publicKey.get());
    if (capacity < StorageKey::size() + 11)
        fail(E_INVALIDARG, L"The certificate's RSA key is too short.");
    result.keyRecord.assign(capacity, 0);
    std::memcpy(result.keyRecord.data(), key.data(), key.size());
    DWORD length = static_cast<DWORD>(key.size());
    if (!CryptEncrypt(publicKey.get(), 0, TRUE, 0, result.keyRecord.data(), &length, capacity))
        failLastError(L"Unable to encipher the storage key for the certificate");
    result.keyRecord.resize(length);
    return result;
}

SessionKey& SessionKey::instance() {
    static SessionKey key;
    return key;
}

SessionKey::SessionKey() {
    if (!CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        failLastError(L"Unable to reach the cryptographic provider");
    if (!CryptGenKey(provider_.get(), AT_KEYEXCHANGE, 2048u << 16, key_.put()))
        failLastError(L"Unable to make the session key");
    DWORD size = 0;
    if (!CryptExportKey(key_.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size))
        failLastError(L"Unable to export the session key");
    publicBlob_.resize(size);
    if (!CryptExportKey(key_.get(), 0, PUBLICKEYBLOB, 0, publicBlob_.data(), &size))
        failLastError(L"Unable to export the session key");
    publicBlob_.resize(size);
    randomBytes(session_.data(), session_.size());
}

std::vector<BYTE> SessionKey::request(const std::vector<BYTE>& keyId) {
    KeyStateRecord record;
    record.kind = KeyStateRecord::Kind::Request;
    record.session = session_;
    record.keyId = keyId;
    record.payload = publicBlob_;
    return record.encode();
}

StorageKey SessionKey::unwrap(const KeyStateRecord& answer) {
    if (answer.kind != KeyStateRecord::Kind::Answer)
        fail(E_INVALIDARG, L"The key-state record carries no key: it is a request, not an answer.");
    if (answer.session != session_)
        fail(E_ACCESSDENIED, L"The key-state record answers a request of another storage "
                             L"server session; read the record again and answer that.");
    std::vector<BYTE> buffer(answer.payload);
    DWORD length = static_cast<DWORD>(buffer.size());
    BOOL decrypted;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        decrypted = CryptDecrypt(key_.get(), 0, TRUE, 0, buffer.data(), &length);
    }
    if (!decrypted || length != StorageKey::size()) {
        SecureZeroMemory(buffer.data(), buffer.size());
        fail(E_ACCESSDENIED, L"The key-state record does not carry a storage key for this server.");
    }
    StorageKey key(buffer.data(), length);
    SecureZeroMemory(buffer.data(), buffer.size());
    return key;
}

} // namespace cfx::store
