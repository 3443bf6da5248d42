#include "common/Variant.h"

#include <new>

namespace cfx {

BSTR allocBstr(const std::wstring& text) {
    BSTR result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!result)
        throw std::bad_alloc();
    return result;
}

std::wstring fromBstr(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

Variant::Variant(const std::wstring& text) {
    VariantInit(&value_);
    value_.bstrVal = allocBstr(text);
    value_.vt = VT_BSTR;
}

Variant::Variant(bool flag) noexcept {
    VariantInit(&value_);
    value_.vt = VT_BOOL;
    value_.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
}

Variant::Variant(ULONGLONG number) noexcept {
    VariantInit(&value_);
    value_.vt = VT_UI8;
    value_.ullVal = number;
}

std::wstring Variant::text() const {
    return value_.vt == VT_BSTR ? fromBstr(value_.bstrVal) : std::wstring();
}

} // namespace cfx
