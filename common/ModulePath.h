// The full path of a loaded module, however long.
#pragma once

#include <windows.h>

#include <string>

namespace cfx {

// The path of module (null: the running program); the system's error is
// raised when it cannot be read.
std::wstring modulePath(HMODULE module);

} // namespace cfx
