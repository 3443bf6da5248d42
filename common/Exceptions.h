// How failures travel: raised, not returned, and turned back into an HRESULT
// (and a text, where a caller wants one) by the one catch ladder.
#pragma once

#include <windows.h>
#include <comdef.h>

#include <exception>
#include <string>
#include <type_traits>
#include <utility>

namespace cfx {

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

// An HRESULT with a text that says what failed and where (the storage
// engine's failures); every catch ladder takes it for the _com_error it is.
class DescribedError : public _com_error {
public:
    DescribedError(HRESULT hr, std::wstring description)
        : _com_error(hr), description_(std::move(description)) {}

    const std::wstring& description() const noexcept { return description_; }

private:
    std::wstring description_;
};

// Raises win_except for the calling thread's last error.
[[noreturn]] void throwLastError();

// For a Windows call that returns a BOOL: raises its last error when it failed.
inline void checkLastError(BOOL succeeded) {
    if (!succeeded)
        throwLastError();
}

// Every internal failure with an HRESULT is raised through here as _com_error.
[[noreturn]] void raise(HRESULT hr);

inline void check(HRESULT hr) {
    if (FAILED(hr))
        raise(hr);
}

// Raises E_POINTER for a null pointer the code cannot go on without.
template <class T> T* notNull(T* p) {
    if (!p)
        raise(E_POINTER);
    return p;
}

// The exception being handled, as the catch ladder sees it.
struct CaughtException {
    // What a COM entry point returns for it.
    HRESULT hr = E_UNEXPECTED;
    // Its own text (DescribedError, win_except); empty for the others.
    std::wstring description;
    // Derived from std::exception (bad_alloc and win_except included), with its what().
    bool standard = false;
    std::string what;
};

// The one catch ladder; call only inside a catch block. Its order is the rule
// for every entry point: std::bad_alloc (E_OUTOFMEMORY), _com_error (its
// HRESULT), a thrown HRESULT (itself), win_except (0x80070000 | low 16 bits of
// a positive code, else the code), anything else (E_UNEXPECTED).
CaughtException caughtException() noexcept;

// The ladder's HRESULT alone.
HRESULT hresultOfCurrentException() noexcept;

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
        return hresultOfCurrentException();
    }
}

} // namespace cfx
