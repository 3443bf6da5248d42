#include "WindowPicture.h"

#include "Report.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <memory>
#include <type_traits>

using Microsoft::WRL::ComPtr;

namespace cfxbrowse {

namespace {

struct WindowDcRelease {
    HWND window;
    void operator()(HDC dc) const noexcept { ReleaseDC(window, dc); }
};
struct DcDelete {
    void operator()(HDC dc) const noexcept { DeleteDC(dc); }
};
struct ObjectDelete {
    void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};
using WindowDc = std::unique_ptr<std::remove_pointer_t<HDC>, WindowDcRelease>;
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDelete>;
using Bitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, ObjectDelete>;

} // namespace

SIZE saveWindowPicture(HWND window, const std::wstring& path) {
    const std::wstring action = L"taking a picture into " + quoted(path);
    RECT place{};
    if (!GetWindowRect(window, &place))
        fail(action, HRESULT_FROM_WIN32(GetLastError()));
    const SIZE size{place.right - place.left, place.bottom - place.top};

    WindowDc screen(GetWindowDC(window), WindowDcRelease{window});
    MemoryDc memory(screen ? CreateCompatibleDC(screen.get()) : nullptr);
    Bitmap bitmap(memory ? CreateCompatibleBitmap(screen.get(), size.cx, size.cy) : nullptr);
    if (!bitmap)
        fail(action, E_FAIL);
    HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BOOL copied = BitBlt(memory.get(), 0, 0, size.cx, size.cy, screen.get(), 0, 0, SRCCOPY);
    SelectObject(memory.get(), old);
    if (!copied)
        fail(action, HRESULT_FROM_WIN32(GetLastError()));

    ComPtr<IWICImagingFactory> factory;
    check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                           IID_PPV_ARGS(&factory)),
          action);
    ComPtr<IWICBitmap> picture;
    check(factory->CreateBitmapFromHBITMAP(bitmap.get(), nullptr, WICBitmapIgnoreAlpha, &picture),
          action);
    ComPtr<IWICStream> stream;
    check(factory->CreateStream(&stream), action);
    check(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE), action);
    try {
        ComPtr<IWICBitmapEncoder> encoder;
        check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder), action);
        check(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache), action);
        ComPtr<IWICBitmapFrameEncode> frame;
        check(encoder->CreateNewFrame(&frame, nullptr), action);
        check(frame->Initialize(nullptr), action);
        check(frame->SetSize(static_cast<UINT>(size.cx), static_cast<UINT>(size.cy)), action);
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        check(frame->SetPixelFormat(&format), action);
        check(frame->WriteSource(picture.Get(), nullptr), action);
        check(frame->Commit(), action);
        check(encoder->Commit(), action);
    } catch (...) {
        // No half-written picture is left behind.
        stream.Reset();
        DeleteFileW(path.c_str());
        throw;
    }
    return size;
}

} // namespace cfxbrowse
