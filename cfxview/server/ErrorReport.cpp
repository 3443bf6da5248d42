#include "server/ErrorReport.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/SystemMessage.h"
#include "common/Wine.h"

#include <cwchar>

namespace cfx::server {

namespace {

CriticalSection& errorBoxLock() {
    static CriticalSection lock;
    return lock;
}

} // namespace

std::wstring errorText(DWORD code) {
    std::wstring text = systemMessage(code, LineBreak::Keep);
    if (!text.empty())
        return text;
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%lX", static_cast<unsigned long>(code));
    return L"Undefined error #" + std::wstring(digits);
}

HWND ownerWindow() {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetCurrentThreadId(), &info))
        return info.hwndActive;
    return GetActiveWindow();
}

void showError(HWND owner, DWORD code, const wchar_t* prefix) {
    CriticalSection::Lock lock(errorBoxLock());
    std::wstring text = prefix ? std::wstring(prefix) + L"\n\n" : L"An error has occured:\n\n";
    text += errorText(code);
    MessageBoxW(owner, text.c_str(), kMessageCaption, MB_ICONERROR);
}

void showCurrentException(HWND owner, const wchar_t* prefix) {
    const CaughtException caught = caughtException();
    // Wine's system has no text for the storage facility's codes (STG_E_*),
    // which Windows describes; under Wine the box gives the description the
    // failure carries (the storage server's) instead of "Undefined error #".
    if (runningUnderWine() && systemMessage(static_cast<DWORD>(caught.hr)).empty()) {
        std::wstring description = caught.description;
        try {
            throw;
        } catch (const _com_error& e) {
            if (IErrorInfo* info = description.empty() ? e.ErrorInfo() : nullptr) {
                BSTR text = nullptr;
                if (SUCCEEDED(info->GetDescription(&text)) && text)
                    description = text;
                SysFreeString(text);
                info->Release(); // ErrorInfo() added a reference
            }
        } catch (...) {
        }
        if (!description.empty()) {
            CriticalSection::Lock lock(errorBoxLock());
            const std::wstring text =
                std::wstring(prefix ? prefix : L"An error has occured:") + L"\n\n" + description;
            MessageBoxW(owner, text.c_str(), kMessageCaption, MB_ICONERROR);
            return;
        }
    }
    showError(owner, static_cast<DWORD>(caught.hr), prefix);
}

void showServerNotFound(HWND owner, HRESULT hr) {
    if (hr == RPC_E_CANTCALLOUT_ININPUTSYNCCALL)
        return;
    MessageBoxW(owner,
                L"Unable to open storage. Coffrex RPC server was not found.\n\n"
                L"Please restart the computer. If the same error will occur again then try to "
                L"reinstall the program.",
                kMessageCaption, MB_ICONERROR);
}

} // namespace cfx::server
