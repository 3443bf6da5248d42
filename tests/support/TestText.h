// Text for test failure messages: UTF-8 of wide strings, HRESULTs in hex, and
// an HRESULT assertion that prints both codes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace cfx::test {

std::string narrow(const std::wstring& text); // UTF-8
std::string hex(unsigned long code);          // "0x80070005"
testing::AssertionResult hrIs(HRESULT expected, HRESULT actual);

} // namespace cfx::test
