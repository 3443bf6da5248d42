// Text is UTF-16 throughout; UTF-8 only where bytes leave for a file, a pipe
// or an exception's what().
#pragma once

#include <guiddef.h>

#include <string>

namespace cfx {

std::string utf8(const std::wstring& text);

// A GUID in registry form: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
std::wstring guidText(const GUID& guid);

} // namespace cfx
