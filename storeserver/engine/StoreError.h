// The one exception the storage engine raises: a standard HRESULT with a text
// that names the storage or item concerned (the support library's
// DescribedError). Every catch ladder maps it like any failed COM call; the
// storage server's entry points also take the text for the caller's error
// object.
#pragma once

#include "common/Exceptions.h"

#include <windows.h>

#include <string>

namespace cfx::store {

using StoreError = DescribedError;

[[noreturn]] void fail(HRESULT hr, std::wstring description);

// For a failed Windows call: the HRESULT of GetLastError(), with the action
// that failed and the system's text for the error.
[[noreturn]] void failLastError(const std::wstring& action);

// For a failed call that returned an HRESULT (ole32): the action and the
// system's text.
void checkCall(HRESULT hr, const std::wstring& action);

// The HRESULT and a text for the exception being handled; call only inside a
// catch block. Exceptions that carry no text of their own get the system's
// text for their HRESULT.
HRESULT describeCurrentException(std::wstring& description) noexcept;

// 'text' in single quotes, as descriptions name items and paths.
std::wstring quoted(const std::wstring& text);

// The system's text for an HRESULT without the trailing line break, or
// "Error 0x80004005." for a code the system does not know.
std::wstring systemText(HRESULT hr);

} // namespace cfx::store
