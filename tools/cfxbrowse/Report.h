// How cfxbrowse fails and speaks: one exception with the HRESULT and a text
// that names what failed, the system's text for an HRESULT, and lines for
// whoever started the program (UTF-8 on the standard handles it was given).
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace cfxbrowse {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailed = 1, // a path, an item or a step of the script failed
    kExitUsage = 2,  // the command line is wrong
};

class BrowseError {
public:
    BrowseError(HRESULT hr, std::wstring text) : hr_(hr), text_(std::move(text)) {}
    HRESULT hr() const noexcept { return hr_; }
    const std::wstring& text() const noexcept { return text_; }

private:
    HRESULT hr_;
    std::wstring text_;
};

// "action: system text (0x8007xxxx)".
[[noreturn]] void fail(const std::wstring& action, HRESULT hr);
inline void check(HRESULT hr, const std::wstring& action) {
    if (FAILED(hr))
        fail(action, hr);
}

// Inside a catch block: the HRESULT and text of the exception being handled.
HRESULT currentFailure(std::wstring& text) noexcept;

std::wstring systemMessage(HRESULT hr);

enum class Channel { Out, Err };
void writeLine(Channel channel, const std::wstring& text);

// An error for the user: on the error handle, or in a message box when the
// program was started without one (from the shell, say).
void showError(HWND owner, const std::wstring& text);

std::wstring quoted(const std::wstring& text);

} // namespace cfxbrowse
