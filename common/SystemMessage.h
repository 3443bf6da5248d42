// The one way to the system's text for an error code.
#pragma once

#include <windows.h>

#include <string>

namespace cfx {

enum class LineBreak { Drop, Keep };

// The system's text for a Windows error code or HRESULT (FormatMessageW), in
// the user's language, else the system's; inserts such as %1 are left as they
// stand. Empty when neither language knows the code. The line break the
// system ends its texts with is dropped unless asked for.
std::wstring systemMessage(DWORD code, LineBreak ending = LineBreak::Drop);

} // namespace cfx
