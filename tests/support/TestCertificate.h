// The certificate tests create storages for: self-signed, with its key in a
// key container of the test's own prefix, and with a Subject Key Identifier
// extension (the only place Wine's CryptoAPI finds a key identifier).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cfx::test {

struct TestCertificate {
    std::vector<BYTE> encoded; // DER; empty when it could not be made
    std::wstring keyIdBase64;  // the subject key identifier
    std::wstring encodedBase64;
};

// Made on first use and kept for the process: generating the key is slow.
const TestCertificate& testCertificate();

// Standard Base64 on one line, as storage properties hold bytes.
std::wstring base64(const BYTE* bytes, DWORD size);

} // namespace cfx::test
