#include "support/TestText.h"

#include "common/Text.h"

#include <cstdio>

namespace cfx::test {

std::string narrow(const std::wstring& text) {
    return cfx::utf8(text);
}

std::string hex(unsigned long code) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", code);
    return buffer;
}

testing::AssertionResult hrIs(HRESULT expected, HRESULT actual) {
    return actual == expected ? testing::AssertionSuccess()
                              : testing::AssertionFailure()
                                    << "got " << hex(ULONG(actual)) << ", expected "
                                    << hex(ULONG(expected));
}

} // namespace cfx::test
