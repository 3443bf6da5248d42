// The catch ladder every entry point goes through.
#include "module/Exceptions.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

namespace {

TEST(CatchLadder, MapsEachFailureToItsHresult) {
    const struct {
        std::function<HRESULT()> body;
        HRESULT expected;
    } cases[] = {
        {[] { return S_FALSE; }, S_FALSE}, // the body's own result
        {[] { return E_NOTIMPL; }, E_NOTIMPL},
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {[]() -> HRESULT { throw _com_error(STG_E_FILENOTFOUND); }, STG_E_FILENOTFOUND},
        {[]() -> HRESULT { throw HRESULT(STG_E_ACCESSDENIED); }, STG_E_ACCESSDENIED},
        {[]() -> HRESULT { throw std::runtime_error("unexpected"); }, E_UNEXPECTED},
        {[]() -> HRESULT { throw 42; }, E_UNEXPECTED},
        {[]() -> HRESULT { throw tools::win_except(ERROR_ACCESS_DENIED); }, HRESULT(0x80070005)},
        // Only the low 16 bits of a positive code survive.
        {[]() -> HRESULT { throw tools::win_except(0x12345); }, HRESULT(0x80072345)},
        // CryptoAPI reports HRESULT-shaped codes through GetLastError: kept as they are.
        {[]() -> HRESULT { throw tools::win_except(static_cast<DWORD>(NTE_BAD_KEYSET)); },
         NTE_BAD_KEYSET},
        {[]() -> HRESULT { throw tools::win_except(0); }, S_OK},
        {[]() -> HRESULT { cfx::raise(E_INVALIDARG); }, E_INVALIDARG},
        {[] { cfx::check(S_FALSE); return S_OK; }, S_OK},
        {[] { cfx::check(DISP_E_TYPEMISMATCH); return S_OK; }, DISP_E_TYPEMISMATCH},
        {[] { cfx::not_null(static_cast<int*>(nullptr)); return S_OK; }, E_POINTER},
        {[]() -> HRESULT {
             SetLastError(ERROR_INVALID_HANDLE);
             tools::throw_last_error();
         },
         HRESULT(0x80070006)},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cfx::guarded(cases[i].body), cases[i].expected) << "case " << i;
    EXPECT_EQ(cfx::guarded([] {}), S_OK);
}

TEST(WindowsError, CarriesTheSystemTextWithoutItsLineEnd) {
    tools::win_except error(ERROR_ACCESS_DENIED);
    EXPECT_EQ(error.code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_FALSE(error.message().empty());
    EXPECT_NE(error.message().back(), L'\n');
    EXPECT_STRNE(error.what(), "");
    EXPECT_NE(error.message(), tools::win_except(ERROR_FILE_NOT_FOUND).message());
}

} // namespace
