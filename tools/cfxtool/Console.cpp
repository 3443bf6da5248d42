#include "Console.h"

#include "common/Text.h"

#include <cwchar>

namespace cfx::tool {

namespace {

HANDLE handleOf(Channel channel) {
    return GetStdHandle(channel == Channel::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

} // namespace

bool isConsole(Channel channel) {
    DWORD mode = 0;
    return GetConsoleMode(handleOf(channel), &mode) != FALSE;
}

void write(Channel channel, const std::wstring& text) {
    HANDLE handle = handleOf(channel);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0, done = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
        return;
    }
    const std::string bytes = utf8(text);
    for (size_t at = 0; at < bytes.size(); at += done) {
        if (!WriteFile(handle, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &done,
                       nullptr) ||
            done == 0)
            return; // a closed pipe: nothing to tell it
    }
}

std::wstring padLeft(const std::wstring& text, size_t width) {
    return text.size() >= width ? text : std::wstring(width - text.size(), L' ') + text;
}

std::wstring padRight(const std::wstring& text, size_t width) {
    return text.size() >= width ? text : text + std::wstring(width - text.size(), L' ');
}

std::wstring timeText(const FILETIME& time) {
    SYSTEMTIME utc{}, local{};
    if ((time.dwLowDateTime == 0 && time.dwHighDateTime == 0) ||
        !FileTimeToSystemTime(&time, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return L"-";
    wchar_t text[32];
    std::swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
                  local.wHour, local.wMinute, local.wSecond);
    return text;
}

} // namespace cfx::tool
