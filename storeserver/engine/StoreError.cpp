#include "StoreError.h"

#include "module/Exceptions.h"
#include "module/Handles.h"

#include <new>
#include <utility>

namespace cfx::store {

StoreError::StoreError(HRESULT hr, std::wstring description)
    : _com_error(hr), description_(std::move(description)) {}

void fail(HRESULT hr, std::wstring description) {
    throw StoreError(hr, std::move(description));
}

std::wstring systemText(HRESULT hr) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    LocalMemory holder(text);
    std::wstring message(text ? text : L"", length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    if (message.empty()) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
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
    try {
        try {
            throw;
        } catch (const StoreError& e) {
            description = e.description();
            return e.Error();
        } catch (const tools::win_except& e) {
            description = e.message();
            return hresult_of_current_exception();
        } catch (...) {
            HRESULT hr = hresult_of_current_exception();
            description = systemText(hr);
            return hr;
        }
    } catch (...) {
        description.clear();
        return E_OUTOFMEMORY;
    }
}

std::wstring quoted(const std::wstring& text) {
    return L"'" + text + L"'";
}

} // namespace cfx::store
