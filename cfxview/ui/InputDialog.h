// A modal dialog (template 132) that asks for one line of text under a prompt
// on a white band.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace cfx::ui {

// Which of the three stacked edits the dialog shows (InputDialogRequest::flags).
enum : std::uint32_t {
    kInputPassword = 1,      // password edit 1021
    kInputPasswordOther = 2, // password edit 1022
    kInputEmptyAllowed = 4,  // OK with nothing entered is accepted
    // Any other non-zero flags show the plain edit 1020; 0 shows no edit.
};

struct InputDialogRequest {
    HMODULE module = nullptr;        // the icon comes from here
    const wchar_t* prompt = nullptr; // the text above the edit, or none
    const wchar_t* caption = L"";    // the window's, and the empty-result warning's
    std::uint32_t flags = 0;
    WORD icon = 0;       // icon resource of module, or 0 for none
    HWND edit = nullptr; // the edit in use, set by the dialog
    // What was entered; untouched on Cancel and on an allowed empty result.
    std::wstring result;
};

// Runs the dialog modally over owner: 1 for OK, 0 for Cancel, -1 when the
// dialog could not be created (GetLastError tells why).
INT_PTR InputDialog(HWND owner, InputDialogRequest& request);

} // namespace cfx::ui
