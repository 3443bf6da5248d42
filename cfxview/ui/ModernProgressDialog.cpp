#include "ui/ModernProgressDialog.h"

#include "ui/ProgressKind.h"
#include "ui/dialog_ids.h"

namespace cfx::ui {

namespace {

constexpr COLORREF kHeaderColor = RGB(224, 255, 255);
constexpr int kHeaderLeft = 30;
constexpr int kHeaderRightMargin = 10;

} // namespace

ModernProgressDialog::ModernProgressDialog(const ProgressDialogParams& params)
    : ProgressDialog(params), header_(params.header) {}

ModernProgressDialog::~ModernProgressDialog() {
    if (font_)
        DeleteObject(font_);
}

int ModernProgressDialog::GetTemplateId() const {
    return IDD_PROGRESS_MODERN;
}

void ModernProgressDialog::SetHeader(const wchar_t* header) {
    {
        CriticalSection::Lock lock(headerLock_);
        header_ = header ? header : L"";
    }
    forward(animation_, WM_PAINT, 0, 0);
}

void ModernProgressDialog::GetHeader(std::wstring& out) const {
    CriticalSection::Lock lock(headerLock_);
    out = header_;
}

bool ModernProgressDialog::OnInitDialog(HWND dialog) {
    font_ = CreateFontW(-18, 0, 0, 0, 0, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Segoe UI");
    if (!font_)
        return false;
    attach(dialog, IDC_PROGRESS_LINE1, IDC_PROGRESS_LINE2);
    if (!startAnimation(progressAnimation(params().kind).modern))
        return false;
    subclassAnimation();
    showInitialTexts();
    if (hasHeader())
        forward(animation_, WM_PAINT, 0, 0);
    return true;
}

INT_PTR ModernProgressDialog::HandleMessage(HWND dialog, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    switch (message) {
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_DESTROY:
        unsubclassAnimation();
        break;
    default:
        break;
    }
    return ProgressDialog::HandleMessage(dialog, message, wParam, lParam);
}

void ModernProgressDialog::subclassAnimation() noexcept {
    subclass_.previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(animation_, GWLP_WNDPROC));
    SetPropW(animation_, kAnimationSubclassProperty, &subclass_);
    SetWindowLongPtrW(animation_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&headerProc));
}

void ModernProgressDialog::unsubclassAnimation() noexcept {
    if (!subclass_.previous || !GetPropW(animation_, kAnimationSubclassProperty))
        return;
    SetWindowLongPtrW(animation_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(subclass_.previous));
    RemovePropW(animation_, kAnimationSubclassProperty);
}

LRESULT CALLBACK ModernProgressDialog::headerProc(HWND animation, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    auto* record = static_cast<SubclassRecord*>(GetPropW(animation, kAnimationSubclassProperty));
    if (!record)
        return DefWindowProcW(animation, message, wParam, lParam);
    LRESULT result = CallWindowProcW(record->previous, animation, message, wParam, lParam);
    // Every frame the control draws covers the header: draw it again.
    if (message == WM_TIMER || message == WM_PAINT ||
        (message == WM_ERASEBKGND && record->dialog->hasHeader()))
        record->dialog->drawHeader(animation);
    return result;
}

bool ModernProgressDialog::hasHeader() const {
    CriticalSection::Lock lock(headerLock_);
    return !header_.empty();
}

void ModernProgressDialog::drawHeader(HWND animation) const {
    std::wstring header;
    GetHeader(header);
    HDC dc = GetDC(animation);
    if (!dc)
        return;
    HGDIOBJ oldFont = SelectObject(dc, font_);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kHeaderColor);
    RECT place{};
    GetClientRect(animation, &place);
    place.left = kHeaderLeft;
    place.right -= kHeaderRightMargin;
    DrawTextW(dc, header.c_str(), static_cast<int>(header.size()), &place,
              DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_WORD_ELLIPSIS);
    SelectObject(dc, oldFont);
    ReleaseDC(animation, dc);
}

} // namespace cfx::ui
