// Text for test failure messages: UTF-8 of wide strings, HRESULTs in hex, and
// an HRESULT assertion that prints both codes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace cfx::test {

// UTF-8, for failure messages.
std::string narrow(const std::wstring& text);
// "0x80070005"
std::string hex(unsigned long code);

testing::AssertionResult hrIs(HRESULT expected, HRESULT actual);

} // namespace cfx::test
