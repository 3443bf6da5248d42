#include "ui/WindowCapture.h"

namespace cfx::test {

Picture captureWindow(HWND window, bool whole) {
    Picture picture;
    RECT place{};
    if (whole ? !GetWindowRect(window, &place) : !GetClientRect(window, &place))
        return picture;
    int width = place.right - place.left;
    int height = place.bottom - place.top;
    if (width <= 0 || height <= 0)
        return picture;

    HDC source = whole ? GetWindowDC(window) : GetDC(window);
    if (!source)
        return picture;
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height; // top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(source, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(source);
    if (bitmap && memory) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY)) {
            GdiFlush();
            const auto* pixels = static_cast<const std::uint32_t*>(bits);
            picture.width = width;
            picture.height = height;
            picture.pixels.reserve(static_cast<std::size_t>(width) * height);
            for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i)
                picture.pixels.push_back(pixels[i] & 0x00FFFFFF);
        }
        SelectObject(memory, old);
    }
    if (memory)
        DeleteDC(memory);
    if (bitmap)
        DeleteObject(bitmap);
    ReleaseDC(window, source);
    return picture;
}

std::wstring windowProcedureModule(HWND window) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(window, GWLP_WNDPROC)), &module);
    wchar_t path[MAX_PATH] = L"";
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring name(path, length);
    name.erase(0, name.find_last_of(L'\\') + 1);
    CharLowerW(name.data());
    return name;
}

} // namespace cfx::test
