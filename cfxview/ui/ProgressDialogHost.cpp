#include "ui/ProgressDialogHost.h"

#include "common/Exceptions.h"
#include "ui/ClassicProgressDialog.h"
#include "ui/DialogActivation.h"
#include "ui/ModernProgressDialog.h"

#include <commctrl.h>
#include <process.h>

namespace cfx::ui {

namespace {

// The timer that ends the dialog a second after it was asked to close.
constexpr UINT_PTR kCloseTimer = 16;
constexpr UINT kCloseDelayMs = 1000;

} // namespace

std::shared_ptr<ProgressDialogHost> ProgressDialogHost::create(const ProgressDialogParams& params) {
    return std::shared_ptr<ProgressDialogHost>(new ProgressDialogHost(params));
}

std::unique_ptr<ProgressDialog> ProgressDialogHost::makeDialog(const ProgressDialogParams& params) {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version))
        throwLastError();
    switch (version.dwMajorVersion) {
    case 6:
        return std::make_unique<ModernProgressDialog>(params);
    case 5:
        return std::make_unique<ClassicProgressDialog>(params);
    default:
        throw win_except(ERROR_NOT_SUPPORTED);
    }
}

ProgressDialogHost::ProgressDialogHost(const ProgressDialogParams& params) : params_(params) {
    closeMessage_ = RegisterWindowMessageW(kCloseMessageName);
    if (!closeMessage_)
        throwLastError();
    dialog_ = makeDialog(params_);
    initialized_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!initialized_)
        throwLastError();
    thread_.reset(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &ProgressDialogHost::dialogThread, this, 0, nullptr)));
    if (!thread_)
        throwLastError();
    WaitForSingleObject(initialized_.get(), INFINITE);
}

ProgressDialogHost::~ProgressDialogHost() {
    if (thread_) {
        if (HWND window = window_.load())
            SendMessageW(window, closeMessage_, 0, 0);
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
}

unsigned __stdcall ProgressDialogHost::dialogThread(void* argument) {
    auto* host = static_cast<ProgressDialogHost*>(argument);
    host->result_ = -1;
    if (host->dialog_->RegisterMessages()) {
        // The version-6 common controls, as the library's manifest asks.
        DialogActivation activation(host->params_.module);
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        host->result_ = DialogBoxParamW(
            host->params_.module, MAKEINTRESOURCEW(host->dialog_->GetTemplateId()), nullptr,
            &ProgressDialogHost::dialogProc, reinterpret_cast<LPARAM>(host));
    }
    // No WM_INITDIALOG came to wake the creator.
    if (host->result_ == -1)
        SetEvent(host->initialized_.get());
    host->window_ = nullptr;
    return 0;
}

INT_PTR CALLBACK ProgressDialogHost::dialogProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return reinterpret_cast<ProgressDialogHost*>(lParam)->initDialog(window, message, wParam,
                                                                         lParam);
    auto* host = static_cast<ProgressDialogHost*>(GetPropW(window, kHostProperty));
    if (!host)
        return FALSE;
    try {
        if (message == WM_TIMER) {
            if (wParam != kCloseTimer)
                return FALSE;
            KillTimer(window, kCloseTimer);
            EndDialog(window, 0);
            SetForegroundWindow(host->params_.ownerWindow);
            return TRUE;
        }
        if (message == WM_CLOSE) {
            if (host->params_.cancelSink)
                host->params_.cancelSink->OnCancel();
            host->dialog_->Cancel();
            return host->closeDialog(window);
        }
        if (message == host->closeMessage_)
            return host->closeDialog(window);
        if (message == WM_NCDESTROY)
            RemovePropW(window, kHostProperty);
        return host->dialog_->HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        // Nothing may escape into the dialog manager; the message counts as unhandled.
        return FALSE;
    }
}

INT_PTR ProgressDialogHost::initDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR result = TRUE;
    try {
        SetPropW(window, kHostProperty, this);
        window_ = window;
        if (HICON icon = params_.icon.get()) {
            SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        }
        if (dialog_->OnInitDialog(window))
            result = dialog_->HandleMessage(window, message, wParam, lParam);
        else
            EndDialog(window, 0);
    } catch (...) {
        EndDialog(window, 0);
    }
    SetEvent(initialized_.get());
    return result;
}

// Cancel goes grey at once; the window ends when the timer fires.
INT_PTR ProgressDialogHost::closeDialog(HWND window) {
    dialog_->DisableCancel();
    SetTimer(window, kCloseTimer, kCloseDelayMs, nullptr);
    return TRUE;
}

} // namespace cfx::ui
