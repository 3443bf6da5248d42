// Output of cfxtool: UTF-16 to a console (WriteConsoleW), UTF-8 to a file or
// a pipe, so that redirected output reads the same on every code page.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::tool {

enum class Channel { Out, Err };

bool isConsole(Channel channel);
void write(Channel channel, const std::wstring& text);

inline void out(const std::wstring& text) {
    write(Channel::Out, text);
}
inline void err(const std::wstring& text) {
    write(Channel::Err, text);
}

// text right-aligned (or left-aligned) in width characters.
std::wstring padLeft(const std::wstring& text, size_t width);
std::wstring padRight(const std::wstring& text, size_t width);

// A FILETIME as local "YYYY-MM-DD HH:MM:SS"; "-" for none.
std::wstring timeText(const FILETIME& time);

} // namespace cfx::tool
