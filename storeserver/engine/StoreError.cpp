#include "StoreError.h"

#include "common/SystemMessage.h"

#include <cwchar>
#include <utility>

namespace cfx::store {

void fail(HRESULT hr, std::wstring description) {
    throw StoreError(hr, std::move(description));
}

std::wstring systemText(HRESULT hr) {
    std::wstring message = systemMessage(static_cast<DWORD>(hr));
    if (message.empty()) {
        wchar_t code[16];
        std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        message = L"Error ";
        message += code;
        message += L'.';
    }
    return message;
}

void failLastError(const std::wstring& action) {
    HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    if (SUCCEEDED(hr))
        hr = E_FAIL;
    fail(hr, action + L": " + systemText(hr));
}

void checkCall(HRESULT hr, const std::wstring& action) {
    if (FAILED(hr))
        fail(hr, action + L": " + systemText(hr));
}

HRESULT describeCurrentException(std::wstring& description) noexcept {
    CaughtException caught = caughtException();
    try {
        description = caught.description.empty() ? systemText(caught.hr) : caught.description;
    } catch (...) {
        description.clear();
    }
    return caught.hr;
}

std::wstring quoted(const std::wstring& text) {
    return L"'" + text + L"'";
}

} // namespace cfx::store
