// The key a new storage is made for: a certificate with a private key that
// the current user has installed (the "MY" store), or a PKCS#12 (".pfx") key
// file with its password, whose key is installed for the user when the
// storage is made, as the key commands install one.
#pragma once

#include "common/Handles.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace cfx::wizard {

// A certificate of "MY" that can be a storage key: it has a private key and
// a key identifier.
struct InstalledKey {
    cfx::Certificate certificate;
    std::wstring subject; // the certificate's simple display name
    std::wstring shown;   // subject, issuer and expiry, as the list shows it
};

std::vector<InstalledKey> installedKeys();

// The one entry whose shown text, else whose subject, is text; -1 if none
// or several.
int findInstalledKey(const std::vector<InstalledKey>& keys, const std::wstring& text);

// A certificate of "MY" by its key identifier (Base64); DescribedError
// (CRYPT_E_NOT_FOUND) when there is none.
cfx::Certificate installedKeyById(const std::wstring& keyId);

// The key a storage is made for, as the user chose it.
struct ChosenKey {
    cfx::Certificate certificate; // what the storage is made for
    std::wstring keyFile;         // empty for an installed certificate
    std::optional<std::wstring> password;
};

// Reads the key file and opens it with the password, keeping nothing: its
// first certificate with a private key. A wrong password raises
// DescribedError with HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD); a file
// that is not a key file, or has no private key, a DescribedError that says so.
ChosenKey openKeyFile(const std::wstring& keyFile, const std::optional<std::wstring>& password);

// Installs the key file's certificates that have private keys into "MY".
void installKeyFile(const ChosenKey& key);

std::vector<BYTE> readKeyFile(const std::wstring& path);

// The certificate's simple display name and its key identifier in Base64.
std::wstring subjectOf(PCCERT_CONTEXT certificate);
std::wstring keyIdOf(PCCERT_CONTEXT certificate);

inline bool isWrongPassword(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
}

} // namespace cfx::wizard
