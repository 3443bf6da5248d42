#include "PropertyValue.h"

#include <cstring>
#include <new>

namespace cfx::store {

namespace {

// Bytes of a scalar type's value, or 0 for a type with none, -1 for a type
// the container does not keep.
int scalarSize(VARTYPE type) {
    switch (type) {
    case VT_EMPTY:
    case VT_NULL:
        return 0;
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_BOOL:
    case VT_I2:
    case VT_UI2:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
        return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
        return 8;
    default:
        return -1;
    }
}

[[noreturn]] void badType(VARTYPE type) {
    fail(DISP_E_BADVARTYPE,
         L"A property cannot hold a value of variant type " + std::to_wstring(type) + L".");
}

} // namespace

PropertyValue PropertyValue::fromVariant(const VARIANT& value) {
    PropertyValue result;
    result.type_ = value.vt;
    if (value.vt == VT_BSTR) {
        UINT size = value.bstrVal ? SysStringByteLen(value.bstrVal) : 0;
        const BYTE* p = reinterpret_cast<const BYTE*>(value.bstrVal);
        result.bytes_.assign(p, p + size);
        return result;
    }
    int size = scalarSize(value.vt);
    if (size < 0)
        badType(value.vt);
    // The scalar members of VARIANT share their first bytes.
    std::memcpy(&result.scalar_, &value.llVal, static_cast<size_t>(size));
    return result;
}

PropertyValue PropertyValue::read(ByteReader& reader) {
    PropertyValue result;
    result.type_ = reader.u16();
    if (result.type_ == VT_BSTR) {
        result.bytes_ = reader.blob();
        return result;
    }
    int size = scalarSize(result.type_);
    if (size < 0)
        reader.damaged();
    for (int i = 0; i < size; ++i)
        result.scalar_ |= ULONGLONG(reader.u8()) << (8 * i);
    return result;
}

void PropertyValue::toVariant(VARIANT* value) const {
    VariantInit(value);
    if (type_ == VT_BSTR) {
        BSTR text = SysAllocStringByteLen(reinterpret_cast<const char*>(bytes_.data()),
                                          static_cast<UINT>(bytes_.size()));
        if (!text)
            throw std::bad_alloc();
        value->bstrVal = text;
    } else {
        std::memcpy(&value->llVal, &scalar_, static_cast<size_t>(scalarSize(type_)));
    }
    value->vt = type_;
}

void PropertyValue::write(ByteWriter& writer) const {
    writer.u16(type_);
    if (type_ == VT_BSTR) {
        writer.blob(bytes_);
        return;
    }
    int size = scalarSize(type_);
    for (int i = 0; i < size; ++i)
        writer.u8(static_cast<BYTE>(scalar_ >> (8 * i)));
}

} // namespace cfx::store
