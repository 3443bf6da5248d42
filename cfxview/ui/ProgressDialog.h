// The progress window seen from the operation that runs behind it: texts,
// range, position and the cancelled flag. The window itself lives on a
// thread of its own (see ProgressDialogHost); every setter but SetRange stores
// its value, then hands the window call to that thread with the forward
// message and returns once the window has taken it. Getters read the stored
// values only.
#pragma once

#include "ui/ProgressDialogParams.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace cfx::ui {

// Registered window message: SendMessageW to the dialog window with wParam 0
// and lParam pointing to a MSG; the dialog's thread sends the message the MSG
// names and answers with its result.
inline constexpr wchar_t kForwardMessageName[] = L"{D4A7C2E1-5B3F-4E80-9A16-C7E2F05B8D31}";

class ProgressDialog {
public:
    explicit ProgressDialog(const ProgressDialogParams& params);
    ProgressDialog(const ProgressDialog&) = delete;
    ProgressDialog& operator=(const ProgressDialog&) = delete;

    // The order of these operations is their order in the virtual table.

    // Disables Cancel, then sets the cancelled flag (for good).
    virtual void Cancel();
    virtual bool IsCancelled() const;
    virtual int GetTemplateId() const = 0;
    virtual void SetTitle(const wchar_t* title);
    virtual void GetTitle(std::wstring& out) const;
    // Both show the two lines again.
    virtual void SetLine1(const wchar_t* line);
    virtual void SetLine2(const wchar_t* line);
    virtual void GetLine1(std::wstring& out) const;
    virtual void GetLine2(std::wstring& out) const;
    virtual void SetHeader(const wchar_t* header) = 0;
    virtual void GetHeader(std::wstring& out) const = 0;
    // Only stores: the bar follows at the next SetPos.
    virtual void SetRange(std::int64_t minimum, std::int64_t maximum);
    virtual void GetRange(std::int64_t& minimum, std::int64_t& maximum) const;
    // The bar shows pos as a percentage of the range's width (see percentOf).
    virtual void SetPos(std::int64_t pos);
    virtual std::int64_t GetPos() const;
    virtual void DisableCancel();
    // Registers the forward message; false when it cannot be registered.
    virtual bool RegisterMessages();
    // Builds the window on the dialog's thread; false ends the dialog at once.
    virtual bool OnInitDialog(HWND dialog) = 0;
    // The dialog procedure's answer to a message the host does not handle.
    virtual INT_PTR HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    virtual ~ProgressDialog();

    // What SetPos sends to the bar: pos / ((maximum - minimum) / 100), truncated,
    // low 16 bits; 0 when the quotient is not a number or out of 64-bit range
    // (an empty range).
    static WPARAM percentOf(std::int64_t pos, std::int64_t minimum, std::int64_t maximum) noexcept;

protected:
    const ProgressDialogParams& params() const noexcept { return params_; }

    // Takes the dialog window and the handles of its controls.
    void attach(HWND dialog, int line1Id, int line2Id) noexcept;
    HWND window() const noexcept { return window_.load(); }

    // Sends a message to a window of the dialog through the dialog's thread,
    // synchronously; does nothing once the window has ended.
    LRESULT forward(HWND target, UINT message, WPARAM wParam, LPARAM lParam) const noexcept;
    // Line 1, then line 2, into their controls.
    void showLines() const noexcept;
    // The first steps of building the window: the bar's range, Cancel's state,
    // then the animation opened from the params' module and playing for ever;
    // false when the animation cannot be opened.
    bool startAnimation(WORD animation) noexcept;
    // The last steps: the lines when line 1 is set, the caption when the title is.
    void showInitialTexts() const noexcept;

    HWND line1_ = nullptr;
    HWND line2_ = nullptr;
    HWND animation_ = nullptr;
    HWND bar_ = nullptr;
    HWND cancel_ = nullptr;

private:
    ProgressDialogParams params_;
    std::atomic<HWND> window_{nullptr}; // cleared when the window ends
    UINT forwardMessage_ = 0;
    std::atomic<bool> cancelled_{false};
    std::int64_t minimum_ = 0;
    std::int64_t maximum_ = 0;
    std::int64_t pos_ = 0;
};

} // namespace cfx::ui
