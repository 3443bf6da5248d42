#include "support/TestText.h"

#include <cstdio>

namespace cfx::test {

std::string narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
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
