#include "Report.h"

#include "common/SystemMessage.h"
#include "common/Text.h"

#include <cwchar>

namespace cfxbrowse {

std::wstring describe(HRESULT hr) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    std::wstring text = cfx::systemMessage(static_cast<DWORD>(hr));
    while (!text.empty() && (text.back() == L'.' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? std::wstring(code) : text + L" (" + code + L")";
}

void fail(const std::wstring& action, HRESULT hr) {
    throw cfx::DescribedError(hr, action + L": " + describe(hr));
}

std::wstring textOf(const cfx::CaughtException& caught) {
    return caught.description.empty() ? describe(caught.hr) : caught.description;
}

namespace {

HANDLE handleOf(Channel channel) {
    HANDLE handle = GetStdHandle(channel == Channel::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

} // namespace

void writeLine(Channel channel, const std::wstring& text) {
    HANDLE handle = handleOf(channel);
    if (!handle)
        return;
    const std::string bytes = cfx::utf8(text + L"\n");
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void showError(HWND owner, const std::wstring& text) {
    if (handleOf(Channel::Err))
        writeLine(Channel::Err, L"cfxbrowse: " + text);
    else
        MessageBoxW(owner, text.c_str(), L"cfxbrowse", MB_OK | MB_ICONERROR);
}

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

} // namespace cfxbrowse
