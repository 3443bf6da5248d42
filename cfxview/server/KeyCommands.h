// The commands through which the user manages the key that opens a storage:
// view, delete, attach, detach and export it, and install it from the copy
// attached to the storage or from a key file. Each one opens the storage for
// itself from the file's path on a root object of its own; server and
// CryptoAPI failures are raised to the caller, which shows them.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::server {

inline constexpr wchar_t kKeyCaption[] = L"Coffrex";

// Shows the installed key's certificate; false (and nothing shown) when the
// current user has none.
bool ViewKey(HWND owner, const std::wstring& storagePath);

// After the user's Yes, removes the installed key from the current user's
// store, freezing the storage first. False in every case.
bool DeleteKey(HWND owner, const std::wstring& storagePath);

// Keeps a copy of a key file the user picks inside the storage, once its
// first certificate proves to be the storage's key; asks again until it is
// or the user cancels. True when a key was attached.
bool AttachKey(HWND owner, const std::wstring& storagePath);

// After the user's Yes, removes the attached copy; true when there was one.
bool DetachKey(HWND owner, const std::wstring& storagePath);

// Imports the storage's attached key file through the system's import
// wizard; false when no key is attached.
bool InstallAttachedKey(HWND owner, const std::wstring& storagePath);

// Saves the attached key file where the user picks, then offers to install
// it. False when no key is attached or the user cancelled.
bool ExportAttachedKey(HWND owner, const std::wstring& storagePath);

// Lets the user pick a key file and imports it through the import wizard;
// false when no file was picked or the import failed.
bool InstallKeyFromFile(HWND owner);

} // namespace cfx::server
