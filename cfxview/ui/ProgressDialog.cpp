#include "ui/ProgressDialog.h"

#include "ui/dialog_ids.h"

#include <commctrl.h>

#include <cmath>

namespace cfx::ui {

namespace {

std::wstring textOf(const wchar_t* text) {
    return text ? std::wstring(text) : std::wstring();
}

LPARAM textParameter(const std::wstring& text) {
    return reinterpret_cast<LPARAM>(text.c_str());
}

} // namespace

ProgressDialog::ProgressDialog(const ProgressDialogParams& params) : params_(params) {}

ProgressDialog::~ProgressDialog() = default;

void ProgressDialog::Cancel() {
    DisableCancel();
    cancelled_ = true;
}

bool ProgressDialog::IsCancelled() const {
    return cancelled_;
}

void ProgressDialog::SetTitle(const wchar_t* title) {
    params_.title = textOf(title);
    forward(window(), WM_SETTEXT, 0, textParameter(params_.title));
}

void ProgressDialog::GetTitle(std::wstring& out) const {
    out = params_.title;
}

void ProgressDialog::SetLine1(const wchar_t* line) {
    params_.line1 = textOf(line);
    showLines();
}

void ProgressDialog::SetLine2(const wchar_t* line) {
    params_.line2 = textOf(line);
    showLines();
}

void ProgressDialog::GetLine1(std::wstring& out) const {
    out = params_.line1;
}

void ProgressDialog::GetLine2(std::wstring& out) const {
    out = params_.line2;
}

void ProgressDialog::SetRange(std::int64_t minimum, std::int64_t maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
}

void ProgressDialog::GetRange(std::int64_t& minimum, std::int64_t& maximum) const {
    minimum = minimum_;
    maximum = maximum_;
}

void ProgressDialog::SetPos(std::int64_t pos) {
    pos_ = pos;
    forward(bar_, PBM_SETPOS, percentOf(pos, minimum_, maximum_), 0);
}

std::int64_t ProgressDialog::GetPos() const {
    return pos_;
}

WPARAM ProgressDialog::percentOf(std::int64_t pos, std::int64_t minimum,
                                 std::int64_t maximum) noexcept {
    double percent = static_cast<double>(pos) /
                     ((static_cast<double>(maximum) - static_cast<double>(minimum)) / 100.0);
    // A quotient no 64-bit integer holds truncates to the "integer
    // indefinite" value, whose low 16 bits are 0.
    if (!(std::fabs(percent) < 9223372036854775808.0))
        return 0;
    return static_cast<WPARAM>(static_cast<std::int64_t>(percent) & 0xFFFF);
}

void ProgressDialog::DisableCancel() {
    EnableWindow(cancel_, FALSE);
}

bool ProgressDialog::RegisterMessages() {
    forwardMessage_ = RegisterWindowMessageW(kForwardMessageName);
    return forwardMessage_ != 0;
}

INT_PTR ProgressDialog::HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        if (LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == BN_CLICKED)
            SendMessageW(dialog, WM_CLOSE, 0, 0);
        return TRUE;
    }
    if (forwardMessage_ && message == forwardMessage_) {
        const MSG* call = reinterpret_cast<const MSG*>(lParam);
        if (!call)
            return TRUE;
        LRESULT result = SendMessageW(call->hwnd, call->message, call->wParam, call->lParam);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
        return TRUE;
    }
    if (message == WM_NCDESTROY)
        window_ = nullptr;
    return FALSE;
}

void ProgressDialog::attach(HWND dialog, int line1Id, int line2Id) noexcept {
    window_ = dialog;
    line1_ = GetDlgItem(dialog, line1Id);
    line2_ = GetDlgItem(dialog, line2Id);
    bar_ = GetDlgItem(dialog, IDC_PROGRESS_BAR);
    cancel_ = GetDlgItem(dialog, IDCANCEL);
    animation_ = GetDlgItem(dialog, IDC_PROGRESS_ANIMATION);
}

LRESULT ProgressDialog::forward(HWND target, UINT message, WPARAM wParam,
                                LPARAM lParam) const noexcept {
    HWND dialog = window();
    if (!dialog || !forwardMessage_)
        return 0;
    MSG call{target, message, wParam, lParam, 0, {0, 0}};
    return SendMessageW(dialog, forwardMessage_, 0, reinterpret_cast<LPARAM>(&call));
}

void ProgressDialog::showLines() const noexcept {
    forward(line1_, WM_SETTEXT, 0, textParameter(params_.line1));
    forward(line2_, WM_SETTEXT, 0, textParameter(params_.line2));
}

bool ProgressDialog::startAnimation(WORD animation) noexcept {
    SendMessageW(bar_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    if (params_.cancelDisabled)
        DisableCancel();
    if (!animation || !SendMessageW(animation_, ACM_OPENW, reinterpret_cast<WPARAM>(params_.module),
                                    reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(animation))))
        return false;
    // Repeat for ever. ACS_AUTOPLAY has started the clip already; a control
    // that plays already keeps playing.
    SendMessageW(animation_, ACM_PLAY, static_cast<WPARAM>(-1), static_cast<LPARAM>(-1));
    return true;
}

void ProgressDialog::showInitialTexts() const noexcept {
    if (!params_.line1.empty())
        showLines();
    if (!params_.title.empty())
        forward(window(), WM_SETTEXT, 0, textParameter(params_.title));
}

} // namespace cfx::ui
