// Properties of storage items as text: names of the known identifiers,
// values of every stored type, and the Checksum property's form.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace cfx::tool {

// "KeyId", "Frozen"...; the registry form of the GUID for unknown ones.
std::wstring propertyName(const GUID& id);

// "VT_BSTR", "VT_UI8"...
std::wstring typeName(VARTYPE type);

// The value for a person to read; long texts (Base64 mostly) are shortened
// to their beginning and their length.
std::wstring valueText(const GUID& id, const VARIANT& value);

// A 16-byte checksum as the Checksum property keeps it: the bytes read as a
// GUID, in upper-case registry form.
std::wstring checksumText(const BYTE (&checksum)[16]);

} // namespace cfx::tool
