#include "ui/WaitDialog.h"

#include "common/Exceptions.h"
#include "module/Module.h"
#include "ui/DialogActivation.h"
#include "ui/dialog_ids.h"
#include "ui/resource.h"

#include <commctrl.h>

namespace cfx::ui {

namespace {

void initDialog(HWND dialog, const WaitDialogRequest& request) {
    // A shared icon (LoadIconW): the window keeps it, nobody destroys it.
    if (HICON icon = LoadIconW(module::instance(), MAKEINTRESOURCEW(IDI_DOCUMENT))) {
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    }
    SetWindowTextW(dialog, request.title.c_str());
    SendDlgItemMessageW(dialog, IDC_WAIT_ANIMATION, ACM_OPENW,
                        reinterpret_cast<WPARAM>(request.module), request.animation);
    if (HWND animation = GetDlgItem(dialog, IDC_WAIT_ANIMATION))
        SendMessageW(animation, ACM_PLAY, static_cast<WPARAM>(-1), 0);
    SetDlgItemTextW(dialog, IDC_WAIT_TEXT, request.text.c_str());
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&request));
}

INT_PTR CALLBACK waitDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto& request = *reinterpret_cast<const WaitDialogRequest*>(lParam);
        initDialog(dialog, request);
        request.handler(dialog, message, wParam, lParam, request.context);
        return TRUE;
    }
    const auto* request =
        reinterpret_cast<const WaitDialogRequest*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!request)
        return FALSE;
    return request->handler(dialog, message, wParam, lParam, request->context);
}

} // namespace

void WaitDialog(HWND owner, const WaitDialogRequest& request) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS};
    InitCommonControlsEx(&controls);
    HMODULE library = module::instance();
    DialogActivation activation(library);
    if (DialogBoxParamW(library, MAKEINTRESOURCEW(IDD_WAIT), owner, &waitDialogProc,
                        reinterpret_cast<LPARAM>(&request)) != 0)
        throwLastError();
}

} // namespace cfx::ui
