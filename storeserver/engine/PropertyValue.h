// A property value as the container keeps it: the VARIANT types a property
// may have (VT_EMPTY, VT_NULL, VT_BOOL, VT_BSTR with its exact byte length,
// the integer types, VT_R4, VT_R8, VT_DATE, VT_CY, VT_ERROR), taken from and
// given back as a VARIANT. Other types (arrays, references, interfaces) are
// refused with DISP_E_BADVARTYPE.
#pragma once

#include "ByteCodec.h"

#include <windows.h>
#include <oleauto.h>

#include <vector>

namespace cfx::store {

class PropertyValue {
public:
    PropertyValue() = default;

    static PropertyValue fromVariant(const VARIANT& value);
    static PropertyValue read(ByteReader& reader);

    // Fills a VARIANT the caller owns (and clears with VariantClear).
    void toVariant(VARIANT* value) const;
    void write(ByteWriter& writer) const;

    VARTYPE type() const noexcept { return type_; }
    // The value of a type other than VT_BSTR, zero-extended.
    ULONGLONG scalar() const noexcept { return scalar_; }
    bool operator==(const PropertyValue& other) const {
        return type_ == other.type_ && scalar_ == other.scalar_ && bytes_ == other.bytes_;
    }

private:
    VARTYPE type_ = VT_EMPTY;
    ULONGLONG scalar_ = 0;    // every type but VT_BSTR, in its low bytes
    std::vector<BYTE> bytes_; // VT_BSTR
};

} // namespace cfx::store
