#include "ui/WindowCapture.h"

namespace cfx::test {

Picture captureWindow(HWND window, bool whole) {
    Picture picture;
    RECT place{};
    if (!(whole ? GetWindowRect(window, &place) : GetClientRect(window, &place)))
        return picture;
    const int width = place.right - place.left, height = place.bottom - place.top;
    HDC source = whole ? GetWindowDC(window) : GetDC(window);
    BITMAPINFO format{{sizeof format.bmiHeader, width, -height, 1, 32, BI_RGB}};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(source, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(source);
    HGDIOBJ old = SelectObject(memory, bitmap);
    if (bitmap && BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY) && GdiFlush()) {
        const auto* pixels = static_cast<const std::uint32_t*>(bits);
        picture.width = width;
        picture.height = height;
        for (std::size_t i = 0; i < std::size_t(width) * height; ++i)
            picture.pixels.push_back(pixels[i] & 0x00FFFFFF);
    }
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    ReleaseDC(window, source);
    return picture;
}

} // namespace cfx::test
