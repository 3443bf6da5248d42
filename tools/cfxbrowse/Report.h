// How cfxbrowse fails and speaks: failures are the support library's
// described errors (an HRESULT with a text that names what failed), caught by
// its one catch ladder; lines go to whoever started the program, in UTF-8 on
// the standard handles it was given.
#pragma once

#include "common/Exceptions.h"

#include <windows.h>

#include <string>

namespace cfxbrowse {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailed = 1, // a path, an item or a step of the script failed
    kExitUsage = 2,  // the command line is wrong
};

// Raises "action: system text (0x8007xxxx)".
[[noreturn]] void fail(const std::wstring& action, HRESULT hr);
inline void check(HRESULT hr, const std::wstring& action) {
    if (FAILED(hr))
        fail(action, hr);
}

// "system text (0x8007xxxx)".
std::wstring describe(HRESULT hr);

// What the user is told about an exception the catch ladder caught.
std::wstring textOf(const cfx::CaughtException& caught);

enum class Channel { Out, Err };
void writeLine(Channel channel, const std::wstring& text);

// An error for the user: on the error handle, or in a message box when the
// program was started without one (from the shell, say).
void showError(HWND owner, const std::wstring& text);

std::wstring quoted(const std::wstring& text);

} // namespace cfxbrowse
