// Names of items inside a storage: case-preserving, compared without regard
// to ASCII letter case, 1 to 32750 UTF-16 units, none of the characters that
// separate or qualify paths (\ / : * ? " < > |) or control characters, and
// neither "." nor "..".
#pragma once

#include <string>

namespace cfx::store {

constexpr size_t kMaxNameLength = 32750;

// Raises STG_E_INVALIDNAME, naming the name, when no item may have it.
void checkItemName(const std::wstring& name);

// The form names are compared in: ASCII letters in lower case.
std::wstring foldedName(const std::wstring& name);

bool sameName(const std::wstring& a, const std::wstring& b);

// A name as error descriptions show it: quoted, and shortened when long.
std::wstring shownName(const std::wstring& name);

} // namespace cfx::store
