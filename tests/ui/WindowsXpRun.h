// The classic dialogs need Windows major version 5. Wine reports the version
// a program is given under HKCU\Software\Wine\AppDefaults\<program>.exe, read
// when it starts: so a program runs itself again, told it is on Windows XP.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::test {

// What GetVersionExW reports to this process.
DWORD reportedMajorVersion();

// True in the run that runAgainAsWindowsXp started.
bool isWindowsXpChild();

// Runs this program again with the arguments, its output going where this
// program's goes; its exit code, or -1 when it could not start (why: message).
long runAgainAsWindowsXp(const std::wstring& arguments, std::string& message);

} // namespace cfx::test
