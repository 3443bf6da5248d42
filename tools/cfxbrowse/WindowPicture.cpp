#include "WindowPicture.h"

#include "Report.h"

#include "common/Handles.h"

#include <wincodec.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace cfxbrowse {

namespace {

using MemoryDc = cfx::UniqueHandle<HDC, &DeleteDC>;
using Bitmap = cfx::UniqueHandle<HBITMAP, &DeleteObject>;

} // namespace

SIZE saveWindowPicture(HWND window, const std::wstring& path) {
    const std::wstring action = L"taking a picture into " + quoted(path);
    RECT place{};
    if (!GetWindowRect(window, &place))
        fail(action, HRESULT_FROM_WIN32(GetLastError()));
    const SIZE size{place.right - place.left, place.bottom - place.top};

    HDC screen = GetWindowDC(window);
    MemoryDc memory(screen ? CreateCompatibleDC(screen) : nullptr);
    Bitmap bitmap(memory ? CreateCompatibleBitmap(screen, size.cx, size.cy) : nullptr);
    BOOL copied = FALSE;
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
        copied = BitBlt(memory.get(), 0, 0, size.cx, size.cy, screen, 0, 0, SRCCOPY);
        SelectObject(memory.get(), old);
    }
    if (screen)
        ReleaseDC(window, screen);
    if (!copied)
        fail(action, E_FAIL);

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
