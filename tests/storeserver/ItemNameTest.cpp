// Item names: what a name may be, and how names compare.
#include "ItemName.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

namespace cfx::store::test {
namespace {

TEST(ItemNameTest, AcceptsOrdinaryLongAndUnicodeNames) {
    for (const std::wstring& name :
         {std::wstring(L"a"), std::wstring(L"Report 2024.txt"), std::wstring(L".hidden"),
          std::wstring(L"\u65E5\u672C\u8A9E \u0420\u043E\u0441\u0441\u0438\u044F \U0001F600"),
          std::wstring(kMaxNameLength, L'x')})
        EXPECT_NO_THROW(checkItemName(name)) << narrow(name.substr(0, 40));
}

TEST(ItemNameTest, RefusesEmptyTooLongSeparatorsAndReservedNames) {
    for (const std::wstring& name :
         {std::wstring(), std::wstring(kMaxNameLength + 1, L'x'), std::wstring(L"a\\b"),
          std::wstring(L"a/b"), std::wstring(L"c:"), std::wstring(L"what?"), std::wstring(L"x*"),
          std::wstring(L"\"q\""), std::wstring(L"<a>"), std::wstring(L"a|b"),
          std::wstring(L"tab\there"), std::wstring(L"nul\0x", 5), std::wstring(L"."),
          std::wstring(L"..")})
        EXPECT_TRUE(failsWith(STG_E_INVALIDNAME, [&] { checkItemName(name); }))
            << narrow(name.substr(0, 40));
}

TEST(ItemNameTest, TheDescriptionNamesTheName) {
    std::wstring text = failureText([] { checkItemName(L"a/b"); });
    EXPECT_NE(text.find(L"'a/b'"), std::wstring::npos) << narrow(text);
}

TEST(ItemNameTest, ComparesWithoutAsciiCaseOnly) {
    EXPECT_TRUE(sameName(L"Readme.TXT", L"readme.txt"));
    EXPECT_FALSE(sameName(L"readme.txt", L"readme.txt "));
    // Letters outside ASCII keep their case.
    EXPECT_FALSE(sameName(L"\u00C9t\u00E9", L"\u00E9t\u00E9"));
    EXPECT_EQ(foldedName(L"AbC\u00C9"), L"abc\u00C9");
}

} // namespace
} // namespace cfx::store::test
