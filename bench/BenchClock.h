// Wall-clock seconds for the benchmarks, from the performance counter.
#pragma once

#include <windows.h>

namespace cfx::bench {

inline double seconds() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency);
}

} // namespace cfx::bench
