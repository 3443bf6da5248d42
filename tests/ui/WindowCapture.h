// Reads back what a window shows on the screen, for tests that check a
// painted colour and for the dialog screenshots, and which module draws it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cfx::test {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB, rows top-down

    std::uint32_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};

// The window with its frame (whole) or its client area; empty when the window
// cannot be read. The window may belong to another thread.
Picture captureWindow(HWND window, bool whole);

// The file name (lower case) of the module whose code answers a window's
// messages.
std::wstring windowProcedureModule(HWND window);

// The same colour as a Picture pixel.
constexpr std::uint32_t pictureColor(COLORREF color) {
    return (static_cast<std::uint32_t>(GetRValue(color)) << 16) |
           (static_cast<std::uint32_t>(GetGValue(color)) << 8) | GetBValue(color);
}

} // namespace cfx::test
