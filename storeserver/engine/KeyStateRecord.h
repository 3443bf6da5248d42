// The key-state record: how the storage key travels from the client that
// holds the certificate's private key to the storage server, never in the
// clear. The server hands out a request; the client writes back an answer.
//
//   offset  size  field
//   0       4     "CFXK"
//   4       1     version, 1
//   5       1     kind: 1 = request (server to client), 2 = answer (client to server)
//   6       2     n, length of the key identifier (little-endian)
//   8       8     session: names the server process's session key
//   16      n     key identifier of the certificate that protects the storage key
//   16+n    4     m, length of the payload (little-endian)
//   20+n    m     request: the session key's public part (a CryptoAPI PUBLICKEYBLOB)
//                 answer: the storage key enciphered with that public key (CryptEncrypt,
//                 PKCS#1 v1.5, in CryptEncrypt's byte order)
//
// The property KeyState carries the record as Base64 text.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace cfx::store {

struct KeyStateRecord {
    enum class Kind : BYTE { Request = 1, Answer = 2 };
    static constexpr size_t kKeyIdOffset = 16;

    Kind kind = Kind::Request;
    std::array<BYTE, 8> session{};
    std::vector<BYTE> keyId;
    std::vector<BYTE> payload;

    std::vector<BYTE> encode() const;
    // Raises E_INVALIDARG for bytes that are not a key-state record.
    static KeyStateRecord decode(const std::vector<BYTE>& bytes);
};

// The bytes of a key property's Base64 text (KeyState, KeyRecord); text that
// does not decode raises E_INVALIDARG ("An argument is invalid").
std::vector<BYTE> keyTextBytes(const std::wstring& text);

} // namespace cfx::store
