// Storage properties carry bytes (key identifiers, key records, attached
// keys) as standard Base64 text: alphabet A-Z a-z 0-9 + /, '=' padding.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cfx {

std::wstring toBase64(const BYTE* bytes, size_t size);
std::wstring toBase64(const std::vector<BYTE>& bytes);

// Skips every character outside the alphabet, padding and line breaks
// included. Text that leaves a single dangling character does not decode and
// raises std::invalid_argument ("An argument is invalid"), which an entry
// point's catch ladder reports as E_UNEXPECTED.
std::vector<BYTE> fromBase64(const std::wstring& text);

} // namespace cfx
