// The catch ladder every entry point goes through.
#include "common/Exceptions.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

template <class E> HRESULT thrown(E exception) {
    return cfx::guarded([&] { throw exception; });
}

TEST(CatchLadder, MapsEachExceptionKind) {
    EXPECT_EQ(thrown(std::bad_alloc()), E_OUTOFMEMORY);
    EXPECT_EQ(thrown(_com_error(STG_E_FILENOTFOUND)), STG_E_FILENOTFOUND);
    EXPECT_EQ(thrown(HRESULT(STG_E_ACCESSDENIED)), STG_E_ACCESSDENIED);
    EXPECT_EQ(thrown(std::runtime_error("unexpected")), E_UNEXPECTED);
    EXPECT_EQ(thrown(42), E_UNEXPECTED);
}

TEST(CatchLadder, TurnsWindowsErrorsIntoHresults) {
    EXPECT_EQ(thrown(cfx::win_except(ERROR_ACCESS_DENIED)), HRESULT(0x80070005));
    EXPECT_EQ(thrown(cfx::win_except(ERROR_FILE_NOT_FOUND)), HRESULT(0x80070002));
    // Only the low 16 bits of a positive code survive.
    EXPECT_EQ(thrown(cfx::win_except(0x12345)), HRESULT(0x80072345));
    // CryptoAPI reports HRESULT-shaped codes through GetLastError: kept as they are.
    EXPECT_EQ(thrown(cfx::win_except(static_cast<DWORD>(NTE_BAD_KEYSET))), NTE_BAD_KEYSET);
    EXPECT_EQ(thrown(cfx::win_except(0)), S_OK);
}

TEST(CatchLadder, ReturnsTheBodysOwnResult) {
    EXPECT_EQ(cfx::guarded([] {}), S_OK);
    EXPECT_EQ(cfx::guarded([] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(cfx::guarded([] { return E_NOTIMPL; }), E_NOTIMPL);
}

TEST(CatchLadder, RaisesThroughTheLibrarysHelpers) {
    EXPECT_EQ(cfx::guarded([] { cfx::raise(E_INVALIDARG); }), E_INVALIDARG);
    EXPECT_EQ(cfx::guarded([] { cfx::check(S_FALSE); }), S_OK);
    EXPECT_EQ(cfx::guarded([] { cfx::check(DISP_E_TYPEMISMATCH); }), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(cfx::guarded([] { cfx::notNull(static_cast<int*>(nullptr)); }), E_POINTER);
    EXPECT_EQ(cfx::guarded([] {
                  SetLastError(ERROR_INVALID_HANDLE);
                  cfx::throwLastError();
              }),
              HRESULT(0x80070006));
}

TEST(WindowsError, CarriesTheSystemText) {
    cfx::win_except error(ERROR_ACCESS_DENIED);
    EXPECT_EQ(error.code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_FALSE(error.message().empty());
    EXPECT_NE(error.message().back(), L'\n');
    EXPECT_STRNE(error.what(), "");

    wchar_t expected[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_ACCESS_DENIED, 0, expected, 512, nullptr);
    EXPECT_EQ(std::wstring(expected).find(error.message()), 0u);
}

} // namespace
