// An item's comment: the Comment property holds the comment's UTF-16 code
// units enciphered with RC4 under the storage key of the key table, as Base64.
#pragma once

#include "cfxstorage.h"

#include <windows.h>

#include <string>
#include <vector>

namespace cfx::folder {

// RC4 (the published stream cipher: key schedule over the whole key, then the
// keystream XORed from the first byte), in place. The same call deciphers.
void rc4(const std::vector<BYTE>& key, std::vector<BYTE>& bytes) noexcept;

// The item's comment; empty when it has none. A storage whose key is not in
// the key table gives E_ACCESSDENIED, a value that is not text E_UNEXPECTED.
std::wstring readComment(IStorageObject* item, const GUID& storageId);

// Stores comment as the item's Comment property, enciphered the same way.
void writeComment(IStorageObject* item, const GUID& storageId, const std::wstring& comment);

} // namespace cfx::folder
