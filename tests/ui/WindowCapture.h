// What a window shows on the screen, read back: for the dialog tests' painted
// colours and for the dialog screenshots.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace cfx::test {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB, rows top-down

    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
};

// The window with its frame (whole) or its client area, of any thread; empty
// when the window cannot be read.
Picture captureWindow(HWND window, bool whole);

constexpr std::uint32_t pictureColor(COLORREF color) {
    return (std::uint32_t(GetRValue(color)) << 16) | (GetGValue(color) << 8) | GetBValue(color);
}

} // namespace cfx::test
