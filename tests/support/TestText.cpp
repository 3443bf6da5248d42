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
    if (actual == expected)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "got " << hex(static_cast<unsigned long>(actual)) << ", expected "
           << hex(static_cast<unsigned long>(expected));
}

} // namespace cfx::test
