// Runs a progress dialog on a thread of its own for the operation that opened
// it. create() starts the dialog thread and returns once the window exists (or
// has failed to); the operation then talks to dialog() only. Dropping the last
// reference closes the window - it stays a second longer with Cancel disabled
// - and waits for the thread.
#pragma once

#include "common/Handles.h"
#include "ui/ProgressDialog.h"
#include "ui/ProgressDialogParams.h"

#include <windows.h>

#include <atomic>
#include <memory>

namespace cfx::ui {

// Registered window message the host sends to close the dialog.
inline constexpr wchar_t kCloseMessageName[] = L"{A53C18F7-E2D4-4B96-8F01-B47D93E6A2C5}";
// Window property on the dialog window: its ProgressDialogHost.
inline constexpr wchar_t kHostProperty[] = L"{F1C6E8A3-49B2-4D7C-A5E0-3D82B7C19F64}";

class ProgressDialogHost {
public:
    // The modern dialog on Windows major version 6, the classic one on 5.
    // Raises when the version is another one or cannot be read, or when the
    // close message, the event or the thread cannot be made. A dialog that
    // cannot be created or built leaves a host without a window.
    static std::shared_ptr<ProgressDialogHost> create(const ProgressDialogParams& params);

    virtual ~ProgressDialogHost();
    ProgressDialogHost(const ProgressDialogHost&) = delete;
    ProgressDialogHost& operator=(const ProgressDialogHost&) = delete;

    ProgressDialog* dialog() const noexcept { return dialog_.get(); }
    // The dialog window, or null when there is none (any more).
    HWND window() const noexcept { return window_.load(); }

private:
    explicit ProgressDialogHost(const ProgressDialogParams& params);

    static std::unique_ptr<ProgressDialog> makeDialog(const ProgressDialogParams& params);
    static unsigned __stdcall dialogThread(void* host);
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR initDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR closeDialog(HWND window);

    // Destroyed from the bottom up: the thread handle, the event, the dialog,
    // then the params with their icon.
    ProgressDialogParams params_;
    std::unique_ptr<ProgressDialog> dialog_;
    KernelHandle initialized_; // auto-reset: WM_INITDIALOG is done, or no dialog came
    std::atomic<HWND> window_{nullptr};
    UINT closeMessage_ = 0;
    INT_PTR result_ = -1;
    KernelHandle thread_;
};

} // namespace cfx::ui
