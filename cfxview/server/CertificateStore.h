// The certificate operations that unlocking a storage and the key commands
// are built from. A storage key is a certificate with a private key in the
// current user's "MY" store, exchanged as a PKCS#12 (".pfx") file. Every
// failed CryptoAPI call raises win_except with GetLastError(); only
// ImportKeyFile shows a message of its own. ImportPfxBlob comes from the
// support library, which cfxtool shares.
#pragma once

#include "common/Handles.h"
#include "common/PfxImport.h"

#include "cfxstorage.h"

#include <windows.h>

#include <string>
#include <vector>

namespace cfx::server {

// A certificate's private key, ready to use. Members are destroyed in reverse
// order: the key before the provider that holds it.
struct PrivateKey {
    Certificate certificate;
    CryptProvider provider;
    CryptKey key;
    HWND owner = nullptr; // owns the provider's prompts; not owned here
};

// The certificate of a system store whose key identifier is keyId; no match
// raises CRYPT_E_NOT_FOUND.
Certificate FindByKeyIdentifier(const std::vector<BYTE>& keyId, const wchar_t* storeName = L"MY");

// The installed certificate the storage was created for (its KeyId
// property), or an empty holder when "MY" has none.
Certificate FindInstalledKey(IStorageObject* storage);

// A certificate property's bytes; an absent property raises CRYPT_E_NOT_FOUND.
std::vector<BYTE> certificateProperty(PCCERT_CONTEXT certificate, DWORD propertyId);
std::vector<BYTE> GetKeyIdentifier(PCCERT_CONTEXT certificate);

// The whole of a file (a key file is small); the system's error when it cannot be read.
std::vector<BYTE> readWholeFile(const std::wstring& path);

// ImportPfxBlob on the file's bytes.
std::vector<Certificate> ImportPfxFile(const std::wstring& path, const wchar_t* password);

// owner, when given, owns the provider's prompts.
PrivateKey AcquirePrivateKey(const Certificate& certificate, HWND owner = nullptr);
std::vector<BYTE> DecryptWithPrivateKey(const PrivateKey& key, const std::vector<BYTE>& data);

// True when the dialog ran.
bool ViewCertificate(HWND owner, PCCERT_CONTEXT certificate);

// The system's import wizard for a key file, into the current user's stores.
// False after a failure, which it has shown; a cancelled wizard is no failure.
bool ImportKeyFile(HWND owner, const std::wstring& path, const wchar_t* caption);

// Removes the certificate from its store. Takes the holder's reference, which
// the deletion frees.
void DeleteInstalledCertificate(Certificate certificate);

} // namespace cfx::server
