// The client's half of unlocking a storage: what a program holding the
// certificate's private key does so that the storage server can serve the
// storage. With the storage's KeyRecord and a key-state request read from
// it (both Base64 text):
//   1. take the protecting certificate's key identifier from the request
//      (keyIdOfKeyState) and find that certificate with its private key;
//   2. decrypt the KeyRecord in place with the private key (decryptKeyRecord):
//      the result is the 32-byte storage key;
//   3. write back the answer (answerKeyState): the storage key enciphered with
//      the server's session key from the request.
// answerWithCertificate and answerWithStore do all three.
#pragma once

#include "KeyMaterial.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace cfx::store {

// Bytes 16 to 16 + n of the record, n being the 16-bit value at byte 6.
std::vector<BYTE> keyIdOfKeyState(const std::vector<BYTE>& record);

// CryptDecrypt with no hash, final block, flags 0, in place. Raises
// E_ACCESSDENIED when the record does not decrypt to a storage key.
StorageKey decryptKeyRecord(HCRYPTKEY privateKey, const std::vector<BYTE>& keyRecord);

// The answer to a key-state request. Raises E_INVALIDARG for a record that
// is not a request.
std::vector<BYTE> answerKeyState(const std::vector<BYTE>& request, const StorageKey& key);

// The answer (Base64) for a storage, given the certificate to use; its
// private key is acquired with CryptAcquireCertificatePrivateKey and the
// acquire flags given.
std::wstring answerWithCertificate(PCCERT_CONTEXT certificate, const std::wstring& keyRecord,
                                   const std::wstring& keyState, DWORD acquireFlags = 0);

// The same with the certificate found in a store (for example the current
// user's "MY") by the request's key identifier; raises CRYPT_E_NOT_FOUND
// when the store has none.
std::wstring answerWithStore(HCERTSTORE store, const std::wstring& keyRecord,
                             const std::wstring& keyState, DWORD acquireFlags = 0);

} // namespace cfx::store
