// How failures travel inside the library, and the one place where they turn
// back into HRESULTs at a COM entry point.
#pragma once

#include <windows.h>
#include <comdef.h>

#include <exception>
#include <string>
#include <type_traits>

namespace tools {

// A failed Windows or CryptoAPI call: the GetLastError() code and its system text.
class win_except : public std::exception {
public:
    explicit win_except(DWORD code);

    DWORD code() const noexcept { return code_; }
    const std::wstring& message() const noexcept { return message_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    DWORD code_;
    std::wstring message_;
    std::string what_;
};

// UTF-8 of a wide string (exception texts, messages for logs and tests).
std::string utf8(const std::wstring& text);

// Raises win_except for the calling thread's last error.
[[noreturn]] void throw_last_error();

} // namespace tools

namespace cfx {

// Every internal failure with an HRESULT is raised through here as _com_error.
[[noreturn]] void raise(HRESULT hr);

inline void check(HRESULT hr) {
    if (FAILED(hr))
        raise(hr);
}

// Raises E_POINTER for a null pointer the code cannot go on without.
template <class T> T* not_null(T* p) {
    if (!p)
        raise(E_POINTER);
    return p;
}

// The HRESULT for the exception being handled; call only inside a catch block.
// The order of the handlers is the library's rule for every entry point.
HRESULT hresult_of_current_exception() noexcept;

// Runs the body of a COM entry point and returns its HRESULT: the body's own
// (when it returns one), S_OK (when it returns nothing), or the mapped exception.
template <class Body> HRESULT guarded(Body&& body) noexcept {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
            body();
            return S_OK;
        } else {
            return body();
        }
    } catch (...) {
        return hresult_of_current_exception();
    }
}

} // namespace cfx
