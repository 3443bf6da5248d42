#include "common/Text.h"

#include <objbase.h>
#include <windows.h>

namespace cfx {

std::string utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

std::wstring guidText(const GUID& guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

} // namespace cfx
