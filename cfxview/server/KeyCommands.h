// The key commands that install a storage key for the current user: from
// the copy attached to a storage, and from a key file the user picks.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::server {

inline constexpr wchar_t kKeyCaption[] = L"Coffrex";

// Imports the storage's attached key file through the system's import
// wizard; false when no key is attached.
bool InstallAttachedKey(HWND owner, const std::wstring& storagePath);

// Lets the user pick a key file and imports it through the import wizard;
// false when no file was picked or the import failed.
bool InstallKeyFromFile(HWND owner);

} // namespace cfx::server
