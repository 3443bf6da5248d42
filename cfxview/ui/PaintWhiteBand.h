// The look the input and list dialogs share: a white band from the top of the
// client area down to their etched separator line (control 1018).
#pragma once

#include <windows.h>

namespace cfx::ui {

// The dialog's answer to WM_PAINT.
void PaintWhiteBand(HWND dialog) noexcept;

} // namespace cfx::ui
