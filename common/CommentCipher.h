// Item comments as the Comment property holds them: the comment's UTF-16 code
// units enciphered with RC4 under the storage key, as Base64. The shell
// extension and cfxtool both read and write them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cfx {

// RC4 (the published stream cipher: key schedule over the whole key, then the
// keystream XORed from the first byte), in place. The same call deciphers.
void rc4(const std::vector<BYTE>& key, std::vector<BYTE>& bytes) noexcept;

// The Comment property's text for a comment.
std::wstring encodeComment(const std::wstring& comment, const std::vector<BYTE>& storageKey);

// The comment a Comment property's text holds; empty for empty text. Text
// that is not Base64 raises std::invalid_argument.
std::wstring decodeComment(const std::wstring& text, const std::vector<BYTE>& storageKey);

} // namespace cfx
