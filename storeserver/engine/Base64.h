// Standard Base64 (alphabet A-Z a-z 0-9 + /, '=' padding), as storage
// properties carry bytes. Decoding skips every character outside the
// alphabet, padding included; a text whose characters leave a single
// dangling one does not decode and raises E_INVALIDARG.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cfx::store {

std::wstring toBase64(const BYTE* bytes, size_t size);
std::wstring toBase64(const std::vector<BYTE>& bytes);
std::vector<BYTE> fromBase64(const wchar_t* text, size_t length);
std::vector<BYTE> fromBase64(const std::wstring& text);

} // namespace cfx::store
