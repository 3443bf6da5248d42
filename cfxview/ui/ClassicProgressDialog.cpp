#include "ui/ClassicProgressDialog.h"

#include "ui/ProgressKind.h"
#include "ui/dialog_ids.h"

namespace cfx::ui {

ClassicProgressDialog::ClassicProgressDialog(const ProgressDialogParams& params)
    : ProgressDialog(params) {}

int ClassicProgressDialog::GetTemplateId() const {
    return IDD_PROGRESS_CLASSIC;
}

void ClassicProgressDialog::SetHeader(const wchar_t*) {}

void ClassicProgressDialog::GetHeader(std::wstring& out) const {
    out.clear();
}

bool ClassicProgressDialog::OnInitDialog(HWND dialog) {
    attach(dialog, IDC_PROGRESS_CLASSIC_LINE1, IDC_PROGRESS_CLASSIC_LINE2);
    if (!startAnimation(progressAnimation(params().kind).classic))
        return false;
    showInitialTexts();
    return true;
}

INT_PTR ClassicProgressDialog::HandleMessage(HWND dialog, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    // The transparent animation takes the dialog's face colour.
    if (message == WM_CTLCOLORSTATIC) {
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != IDC_PROGRESS_ANIMATION)
            return FALSE;
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    }
    return ProgressDialog::HandleMessage(dialog, message, wParam, lParam);
}

} // namespace cfx::ui
