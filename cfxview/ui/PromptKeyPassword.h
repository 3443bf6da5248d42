// Asks the user for the password of a key file.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::ui {

// The input dialog with a password edit and the library's icon: true when the
// user confirmed a (non-empty) password with OK, which is then in password.
// Raises the Windows error when the dialog cannot be created.
bool PromptKeyPassword(HMODULE module, HWND owner, std::wstring& password);

} // namespace cfx::ui
