#include "ui/InputDialog.h"

#include "ui/DialogActivation.h"
#include "ui/PaintWhiteBand.h"
#include "ui/dialog_ids.h"

namespace cfx::ui {

namespace {

InputDialogRequest* requestOf(HWND dialog) {
    return reinterpret_cast<InputDialogRequest*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

int editFor(std::uint32_t flags) {
    if (flags & kInputPassword)
        return IDC_INPUT_PASSWORD;
    if (flags & kInputPasswordOther)
        return IDC_INPUT_PASSWORD_OTHER;
    return IDC_INPUT_TEXT;
}

void initDialog(HWND dialog, InputDialogRequest& request) {
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&request));
    SetWindowTextW(dialog, request.caption);
    if (request.prompt)
        SetDlgItemTextW(dialog, IDC_INPUT_PROMPT, request.prompt);
    if (request.icon) {
        // A shared icon: destroying it leaves the window's icon alone.
        HICON icon = LoadIconW(request.module, MAKEINTRESOURCEW(request.icon));
        if (icon) {
            SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            DestroyIcon(icon);
        }
    }
    if (request.flags) {
        request.edit = GetDlgItem(dialog, editFor(request.flags));
        ShowWindow(request.edit, SW_SHOW);
        SetFocus(request.edit);
    }
}

void confirm(HWND dialog, InputDialogRequest& request) {
    int length = GetWindowTextLengthW(request.edit);
    if (length == 0) {
        if (!(request.flags & kInputEmptyAllowed)) {
            MessageBoxW(dialog, L"Empty result is not allowed.", request.caption,
                        MB_ICONEXCLAMATION);
            return;
        }
        EndDialog(dialog, 1);
        return;
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(request.edit, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    request.result = std::move(text);
    EndDialog(dialog, 1);
}

INT_PTR CALLBACK inputDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
        case WM_INITDIALOG:
            initDialog(dialog, *reinterpret_cast<InputDialogRequest*>(lParam));
            // The focus is where initDialog put it.
            return FALSE;
        case WM_PAINT:
            PaintWhiteBand(dialog);
            return TRUE;
        case WM_CTLCOLORSTATIC:
            if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_INPUT_PROMPT)
                return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
                if (InputDialogRequest* request = requestOf(dialog))
                    confirm(dialog, *request);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, 0);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
        }
    } catch (...) {
        // Nothing may escape into the dialog manager: the dialog ends as cancelled.
        EndDialog(dialog, 0);
        return TRUE;
    }
}

} // namespace

INT_PTR InputDialog(HWND owner, InputDialogRequest& request) {
    DialogActivation activation(request.module);
    return DialogBoxParamW(request.module, MAKEINTRESOURCEW(IDD_INPUT), owner, &inputDialogProc,
                           reinterpret_cast<LPARAM>(&request));
}

} // namespace cfx::ui
