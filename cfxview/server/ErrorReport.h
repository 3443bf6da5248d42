// How a failure becomes a message box, and which window owns the box.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::server {

inline constexpr wchar_t kMessageCaption[] = L"Coffrex";

// The system's text for a Windows error code or HRESULT, in the user's
// language, else the system's; "Undefined error #1F" for a code neither knows.
std::wstring errorText(DWORD code);

// The active window of the calling thread's GUI, the owner of the library's boxes.
HWND ownerWindow();

// The error box: "prefix\n\n" (or "An error has occured:\n\n" without one)
// followed by the error text of the code. One box is built at a time.
void showError(HWND owner, DWORD code, const wchar_t* prefix = nullptr);

// Inside a catch block: shows the exception being handled, mapped to its
// HRESULT as at an entry point, after the text naming the failed action.
void showCurrentException(HWND owner, const wchar_t* prefix);

// The box for a storage server that could not be reached at all. A call made
// while the shell is inside an input-synchronous call fails without a box.
void showServerNotFound(HWND owner, HRESULT hr);

} // namespace cfx::server
