// The progress window of Windows major version 5 (template 108): a small
// animation, two text lines, the bar and Cancel. It has no header.
#pragma once

#include "ui/ProgressDialog.h"

namespace cfx::ui {

class ClassicProgressDialog : public ProgressDialog {
public:
    explicit ClassicProgressDialog(const ProgressDialogParams& params);

    int GetTemplateId() const override;
    // No header: SetHeader does nothing and GetHeader gives an empty text.
    void SetHeader(const wchar_t* header) override;
    void GetHeader(std::wstring& out) const override;
    bool OnInitDialog(HWND dialog) override;
    INT_PTR HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) override;
};

} // namespace cfx::ui
