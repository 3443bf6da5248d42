// Text for test failure messages: UTF-8 of wide strings, HRESULTs in hex, and
// an HRESULT assertion that prints both codes.
#pragma once

#include "common/Text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace cfx::test {

inline std::string narrow(const std::wstring& text) {
    return cfx::utf8(text);
}

inline std::string hex(unsigned long code) { // "0x80070005"
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", code);
    return buffer;
}

inline testing::AssertionResult hrIs(HRESULT expected, HRESULT actual) {
    return actual == expected ? testing::AssertionSuccess()
                              : testing::AssertionFailure()
                                    << "got " << hex(ULONG(actual)) << ", expected "
                                    << hex(ULONG(expected));
}

} // namespace cfx::test
