// BSTR and VARIANT, the way text and values cross COM interfaces: one holder
// for each (Bstr in common/Handles.h, Variant here) and the conversions from
// and to std::wstring.
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace cfx {

// A new BSTR with the text, for the caller to free; raises std::bad_alloc.
BSTR allocBstr(const std::wstring& text);
// The same in a holder.
inline Bstr makeBstr(const std::wstring& text) {
    return Bstr(allocBstr(text));
}
// The text of a BSTR; a null BSTR is the empty text.
std::wstring fromBstr(BSTR text);

// A VARIANT cleared when it goes.
class Variant {
public:
    Variant() noexcept { VariantInit(&value_); }
    explicit Variant(const std::wstring& text);  // VT_BSTR; raises std::bad_alloc
    explicit Variant(bool flag) noexcept;        // VT_BOOL
    explicit Variant(ULONGLONG number) noexcept; // VT_UI8
    ~Variant() { VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    const VARIANT& get() const noexcept { return value_; }
    // For calls that fill a VARIANT: clears the one held first.
    VARIANT* put() noexcept {
        VariantClear(&value_);
        return &value_;
    }
    VARTYPE type() const noexcept { return value_.vt; }

    // The text of a VT_BSTR value; empty for any other type.
    std::wstring text() const;

private:
    VARIANT value_;
};

} // namespace cfx
