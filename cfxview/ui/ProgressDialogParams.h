// Everything a progress dialog is opened with. A value: the host and its
// dialog each keep a copy (with a copy of the icon of their own).
#pragma once

#include "ui/CancelSink.h"
#include "ui/IconHandle.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace cfx::ui {

struct ProgressDialogParams {
    HMODULE module = nullptr;         // the dialog template and the animations come from here
    std::uint32_t kind = 0;           // a ProgressKind; above CheckMany the dialog cannot open
    BOOL cancelDisabled = FALSE;      // Cancel is disabled from the start
    IconHandle icon;                  // window icon, may be empty
    HWND ownerWindow = nullptr;       // brought to the foreground when the dialog closes
    CancelSink* cancelSink = nullptr; // told when the user cancels; may be null
    std::wstring title;
    std::wstring line1;
    std::wstring line2;
    std::wstring header; // the large text over the animation (modern dialog only)
};

} // namespace cfx::ui
