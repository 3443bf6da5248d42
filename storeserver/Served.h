// The storage server's catch ladder: every COM entry point of the server runs
// its body through served(), which turns an exception into its HRESULT and
// leaves an error object whose description names the item, so that the
// client's error box says what went wrong and where.
#pragma once

#include "StoreError.h"
#include "server/ErrorObjectHook.h"

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace cfx::storeserver {

inline constexpr wchar_t kErrorSource[] = L"Coffrex storage server";

template <class Body> HRESULT served(REFIID iid, Body&& body) noexcept {
    try {
        body();
        return S_OK;
    } catch (...) {
        std::wstring description;
        HRESULT hr = store::describeCurrentException(description);
        setErrorObject(iid, kErrorSource, description);
        return hr;
    }
}

// A BSTR the caller owns; raises bad_alloc.
BSTR newBstr(const std::wstring& text);
std::wstring fromBstr(BSTR text);

} // namespace cfx::storeserver
