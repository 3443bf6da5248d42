// Every COM entry point of the storage server runs its body through served(),
// which maps an exception with the support library's catch ladder and leaves
// an error object whose description names the item, so that the client's
// error box says what went wrong and where.
#pragma once

#include "StoreError.h"

#include "common/ErrorObjectHook.h"
#include "common/Variant.h"

#include <windows.h>

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

} // namespace cfx::storeserver
