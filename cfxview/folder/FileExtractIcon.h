// The icon of an item inside a storage: the shell's standard icon for its
// name's extension, or the folder icon.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::folder {

// SHCreateFileExtractIconW for the name with FILE_ATTRIBUTE_DIRECTORY or
// FILE_ATTRIBUTE_NORMAL; what it returns is returned.
HRESULT createFileExtractIcon(const std::wstring& name, DWORD attributes, REFIID iid, void** out);

} // namespace cfx::folder
