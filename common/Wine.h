// Whether the program runs under Wine, for the few workarounds of Wine's gaps;
// on Windows they never run.
#pragma once

#include <windows.h>

namespace cfx {

inline bool runningUnderWine() noexcept {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

} // namespace cfx
