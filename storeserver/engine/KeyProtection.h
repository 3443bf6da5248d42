// The server's half of a storage's keys.
//
// A storage is made for one certificate: its KeyId is the certificate's key
// identifier and its KeyRecord the storage key enciphered to the
// certificate's RSA public key (CryptEncrypt, PKCS#1 v1.5, little-endian as
// CryptDecrypt takes it back), so that the holder of the private key
// recovers the storage key by decrypting the record in place.
//
// To hand the storage key to this process, the client answers a key-state
// request (KeyStateRecord.h) made with this process's session key: a 2048-bit
// RSA key made once per process, whose private part never leaves CryptoAPI.
#pragma once

#include "KeyMaterial.h"
#include "KeyStateRecord.h"

#include "common/Handles.h"

#include <windows.h>
#include <wincrypt.h>

#include <array>
#include <mutex>
#include <vector>

namespace cfx::store {

struct CertificateProtection {
    std::vector<BYTE> keyId;
    std::vector<BYTE> keyRecord;
};

// Raises E_INVALIDARG for bytes that are not an X.509 certificate with an RSA key.
CertificateProtection protectForCertificate(const BYTE* certificate, size_t size,
                                            const StorageKey& key);

// The certificate's key identifier (CERT_KEY_IDENTIFIER_PROP_ID; where the
// system finds none, as Wine without a Subject Key Identifier extension, the
// SHA-1 hash of the subject public key info, which is what Windows computes).
std::vector<BYTE> certificateKeyId(PCCERT_CONTEXT certificate);

class SessionKey {
public:
    // The process's session key, made on first use (about a second).
    static SessionKey& instance();

    // A key-state request for a storage whose certificate has this key identifier.
    std::vector<BYTE> request(const std::vector<BYTE>& keyId);

    // The storage key an answer carries. Raises E_INVALIDARG for a record
    // that is not an answer and E_ACCESSDENIED for one made for another
    // session or that does not decrypt.
    StorageKey unwrap(const KeyStateRecord& answer);

    SessionKey(const SessionKey&) = delete;
    SessionKey& operator=(const SessionKey&) = delete;

private:
    SessionKey();

    std::mutex mutex_;
    // The key before the provider that holds it, when they go.
    CryptProvider provider_;
    CryptKey key_;
    std::array<BYTE, 8> session_{};
    std::vector<BYTE> publicBlob_;
};

} // namespace cfx::store
