// A small modal dialog (template 123) with an animation and one line of text
// that the user waits in front of while a worker does the job: no button, no
// close box. The caller's handler decides when it ends.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::ui {

// A dialog procedure with one more argument: the request's context.
using WaitDialogHandler = INT_PTR (*)(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam,
                                      void* context);

struct WaitDialogRequest {
    std::wstring title; // the caption
    std::wstring text;  // the line under the caption
    WORD animation = 0; // AVI resource of module
    HMODULE module = nullptr;
    WaitDialogHandler handler = nullptr; // gets every message, WM_INITDIALOG included
    void* context = nullptr;
};

// Runs the dialog of the library's module modally over owner until the
// handler ends it with EndDialog(dialog, 0). Another result (the dialog
// could not be made) raises win_except with GetLastError.
void WaitDialog(HWND owner, const WaitDialogRequest& request);

} // namespace cfx::ui
