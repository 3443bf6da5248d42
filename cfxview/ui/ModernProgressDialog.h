// The progress window of Windows major version 6 (template 101): a large
// animation band with a header drawn over it in light cyan, the two lines on a
// white panel, the bar and Cancel below.
#pragma once

#include "common/Handles.h"
#include "ui/ProgressDialog.h"

#include <string>

namespace cfx::ui {

// Window property on the animation control: the SubclassRecord of its dialog.
inline constexpr wchar_t kAnimationSubclassProperty[] = L"{0E9B4F62-7C1A-4D25-B3E8-6A4F21D9C07E}";

class ModernProgressDialog : public ProgressDialog {
public:
    explicit ModernProgressDialog(const ProgressDialogParams& params);
    ~ModernProgressDialog() override;

    int GetTemplateId() const override;
    // Stores the header and repaints the animation, which draws it.
    void SetHeader(const wchar_t* header) override;
    void GetHeader(std::wstring& out) const override;
    bool OnInitDialog(HWND dialog) override;
    INT_PTR HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct SubclassRecord {
        WNDPROC previous;
        ModernProgressDialog* dialog;
    };

    static LRESULT CALLBACK headerProc(HWND animation, UINT message, WPARAM wParam, LPARAM lParam);
    void subclassAnimation() noexcept;
    void unsubclassAnimation() noexcept;
    void drawHeader(HWND animation) const;
    bool hasHeader() const;

    HFONT font_ = nullptr;
    std::wstring header_;
    SubclassRecord subclass_{nullptr, this};
    // The animation control paints on the dialog's thread whenever it likes,
    // also while the operation's thread stores a new header.
    mutable CriticalSection headerLock_;
};

} // namespace cfx::ui
