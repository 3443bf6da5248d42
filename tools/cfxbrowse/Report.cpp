#include "Report.h"

#include <cwchar>
#include <new>
#include <string>

namespace cfxbrowse {

std::wstring systemMessage(HRESULT hr) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text.empty() ? std::wstring(code) : text + L" (" + code + L")";
}

void fail(const std::wstring& action, HRESULT hr) {
    throw BrowseError(hr, action + L": " + systemMessage(hr));
}

HRESULT currentFailure(std::wstring& text) noexcept {
    try {
        throw;
    } catch (const BrowseError& error) {
        text = error.text();
        return error.hr();
    } catch (const std::bad_alloc&) {
        text = L"out of memory";
        return E_OUTOFMEMORY;
    } catch (...) {
        text = L"unexpected failure";
        return E_UNEXPECTED;
    }
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
    std::wstring line = text + L"\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size,
                        nullptr, nullptr);
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
