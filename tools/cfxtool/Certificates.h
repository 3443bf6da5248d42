// Certificates and key files: PKCS#12 (.pfx) files, the current user's "MY"
// store, and installing a key file there so that storages made for its
// certificate can be unlocked later.
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <wincrypt.h>

#include <optional>
#include <string>
#include <vector>

namespace cfx::tool {

std::vector<BYTE> readFileBytes(const std::wstring& path);

// The certificates of a PKCS#12 file in a memory store, with their private
// keys as the flags of PFXImportCertStore say. Without a password, the empty
// one and then none are tried.
CertificateStore importPfx(const std::wstring& file, const std::optional<std::wstring>& password,
                           DWORD flags);

CertificateStore openMyStore();

bool hasPrivateKey(PCCERT_CONTEXT certificate);
// The first certificate of the store with a private key.
Certificate certificateWithKey(HCERTSTORE store, const std::wstring& source);
// A certificate of the store by its key identifier (Base64) or by a part of
// its subject; one with a private key is preferred.
Certificate findByKeyId(HCERTSTORE store, const std::wstring& keyId);
Certificate findBySubject(HCERTSTORE store, const std::wstring& subject);

std::wstring subjectOf(PCCERT_CONTEXT certificate);
// The key identifier (Base64) that storages made for the certificate keep as KeyId.
std::wstring keyIdOf(PCCERT_CONTEXT certificate);

// Adds the certificates of a key file that have a private key to the current
// user's "MY" store. Returns the certificates added.
std::vector<Certificate> installPfx(const std::wstring& file,
                                    const std::optional<std::wstring>& password);

} // namespace cfx::tool
