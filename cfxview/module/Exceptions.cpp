#include "module/Exceptions.h"

#include "module/Handles.h"

#include <new>

namespace tools {

namespace {

std::wstring system_message(DWORD code) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    cfx::LocalMemory holder(text);
    std::wstring message(text ? text : L"", length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return message;
}

} // namespace

std::string utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

win_except::win_except(DWORD code) : code_(code), message_(system_message(code)) {
    what_ = message_.empty() ? "Windows error " + std::to_string(code_) : utf8(message_);
}

void throw_last_error() {
    throw win_except(GetLastError());
}

} // namespace tools

namespace cfx {

void raise(HRESULT hr) {
    throw _com_error(hr);
}

HRESULT hresult_of_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const _com_error& e) {
        return e.Error();
    } catch (HRESULT hr) {
        return hr;
    } catch (const tools::win_except& e) {
        LONG code = static_cast<LONG>(e.code());
        return code > 0 ? static_cast<HRESULT>(0x80070000u | (e.code() & 0xFFFFu)) : code;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace cfx
