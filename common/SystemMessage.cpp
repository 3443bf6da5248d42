#include "common/SystemMessage.h"

#include "common/Handles.h"

namespace cfx {

namespace {

bool format(DWORD code, LANGID language, std::wstring& text) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    LocalMemory holder(buffer);
    if (!length || !buffer)
        return false;
    text.assign(buffer, length);
    return true;
}

} // namespace

std::wstring systemMessage(DWORD code, LineBreak ending) {
    std::wstring text;
    if (!format(code, GetUserDefaultLangID(), text))
        format(code, GetSystemDefaultLangID(), text);
    if (ending == LineBreak::Drop)
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
            text.pop_back();
    return text;
}

} // namespace cfx
