// A picture of a window as the screen shows it, frame included, written as a
// PNG file with the system's image encoder (WIC).
#pragma once

#include <windows.h>

#include <string>

namespace cfxbrowse {

// Raises a described error when the window cannot be read or the file not written.
SIZE saveWindowPicture(HWND window, const std::wstring& path);

} // namespace cfxbrowse
