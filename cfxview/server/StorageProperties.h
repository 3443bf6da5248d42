// Reading and writing the storage properties the library relies on. A
// property of another variant type than expected is E_UNEXPECTED; server
// failures raise _com_error with the server's description.
#pragma once

#include "cfxstorage.h"

#include <windows.h>

#include <string>
#include <vector>

namespace cfx::server {

// VT_BSTR; an absent property reads as empty text.
std::wstring readTextProperty(IStorageObject* item, const GUID& property);
// A VT_BSTR property holding Base64, decoded ("An argument is invalid" when
// it does not decode).
std::vector<BYTE> readBytesProperty(IStorageObject* item, const GUID& property);
// The same for a property the storage must have: absent is E_UNEXPECTED.
std::vector<BYTE> readRequiredBytesProperty(IStorageObject* item, const GUID& property);
void writeTextProperty(IStorageObject* item, const GUID& property, const std::wstring& text);

// Flags (VT_UI8; absent reads as 0).
inline constexpr ULONGLONG kKeyAttached = 1;
ULONGLONG readFlags(IStorageObject* item);

// Frozen (VT_BOOL; absent reads as false).
bool readFrozen(IStorageObject* item);

// Id: the GUID in registry form.
GUID readStorageId(IStorageObject* item);

} // namespace cfx::server
