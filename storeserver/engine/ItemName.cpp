#include "ItemName.h"

#include "StoreError.h"

namespace cfx::store {

namespace {

bool forbidden(wchar_t c) {
    if (c < 0x20)
        return true;
    switch (c) {
    case L'\\':
    case L'/':
    case L':':
    case L'*':
    case L'?':
    case L'"':
    case L'<':
    case L'>':
    case L'|':
        return true;
    default:
        return false;
    }
}

wchar_t fold(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

} // namespace

void checkItemName(const std::wstring& name) {
    const wchar_t* reason = nullptr;
    if (name.empty())
        reason = L"a name cannot be empty";
    else if (name.size() > kMaxNameLength)
        reason = L"a name is at most 32750 characters long";
    else if (name == L"." || name == L"..")
        reason = L"the name is reserved";
    else
        for (wchar_t c : name)
            if (forbidden(c)) {
                reason = L"a name cannot contain \\ / : * ? \" < > | or control characters";
                break;
            }
    if (reason)
        fail(STG_E_INVALIDNAME, shownName(name) + L" is not a valid item name: " + reason + L".");
}

std::wstring foldedName(const std::wstring& name) {
    std::wstring folded(name);
    for (wchar_t& c : folded)
        c = fold(c);
    return folded;
}

bool sameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

std::wstring shownName(const std::wstring& name) {
    constexpr size_t kShown = 80;
    if (name.size() <= kShown)
        return quoted(name);
    return quoted(name.substr(0, kShown) + L"...");
}

} // namespace cfx::store
