// The library's half of the key-state record (docs/storage-format.md, section
// 6): the server's request names the certificate that protects the storage
// key and carries the server's session public key; the answer carries the
// storage key enciphered with that session key, so that it never travels or
// rests in the clear.
#pragma once

#include <windows.h>

#include <vector>

namespace cfx::server {

// The key identifier of the certificate that protects the storage key.
// Raises E_UNEXPECTED for a record shorter than 16 bytes or one whose key
// identifier does not fit in it.
std::vector<BYTE> protectingKeyId(const std::vector<BYTE>& record);

// The answer to a request: E_UNEXPECTED when the record is not a request.
std::vector<BYTE> answerKeyState(const std::vector<BYTE>& request,
                                 const std::vector<BYTE>& storageKey);

} // namespace cfx::server
