#include "server/ErrorReport.h"

#include "module/Exceptions.h"
#include "module/Handles.h"

#include <cwchar>

namespace cfx {

namespace {

bool formatSystemMessage(DWORD code, LANGID language, std::wstring& text) {
    wchar_t* buffer = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                       language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    LocalMemory holder(buffer);
    if (!length || !buffer)
        return false;
    text.assign(buffer, length);
    return true;
}

CriticalSection& errorBoxLock() {
    static CriticalSection lock;
    return lock;
}

} // namespace

std::wstring errorText(DWORD code) {
    std::wstring text;
    if (formatSystemMessage(code, GetUserDefaultLangID(), text) ||
        formatSystemMessage(code, GetSystemDefaultLangID(), text))
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
    showError(owner, static_cast<DWORD>(hresult_of_current_exception()), prefix);
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

} // namespace cfx
