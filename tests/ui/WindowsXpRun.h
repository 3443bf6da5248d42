// The classic dialogs need Windows major version 5. Wine reports the version
// each program asks for under HKCU\Software\Wine\AppDefaults\<program>.exe
// (value Version), read when the program starts: so a test program runs
// itself again as a child that Wine tells it is Windows XP (5.1).
#pragma once

#include <windows.h>

#include <string>

namespace cfx::test {

// What GetVersionExW reports to this process.
DWORD reportedMajorVersion();

// Set in the child's environment, so that it knows it must see version 5.
inline constexpr wchar_t kWindowsXpChildVariable[] = L"CFX_WINDOWS_XP_CHILD";
bool isWindowsXpChild();

// Runs this program again with the arguments (after the program name), Wine
// reporting Windows XP to it and its output going where this program's goes;
// returns its exit code once it has ended, or -1 when it could not start (the
// reason is in message).
long runAgainAsWindowsXp(const std::wstring& arguments, std::string& message);

} // namespace cfx::test
