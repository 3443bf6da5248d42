#include "server/StorageProperties.h"

#include "module/Exceptions.h"
#include "module/Handles.h"
#include "server/Base64.h"
#include "server/ServerCall.h"

#include <oleauto.h>

namespace cfx {

namespace {

// A VARIANT cleared when it goes.
struct Value {
    VARIANT v;
    Value() noexcept { VariantInit(&v); }
    ~Value() { VariantClear(&v); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
};

void read(IStorageObject* item, const GUID& property, Value& value) {
    checkServerCall(not_null(item)->GetProperty(property, &value.v), item);
}

} // namespace

std::wstring readTextProperty(IStorageObject* item, const GUID& property) {
    Value value;
    read(item, property, value);
    if (value.v.vt == VT_EMPTY)
        return {};
    if (value.v.vt != VT_BSTR)
        raise(E_UNEXPECTED);
    return std::wstring(value.v.bstrVal, SysStringLen(value.v.bstrVal));
}

std::vector<BYTE> readBytesProperty(IStorageObject* item, const GUID& property) {
    return fromBase64(readTextProperty(item, property));
}

std::vector<BYTE> readRequiredBytesProperty(IStorageObject* item, const GUID& property) {
    Value value;
    read(item, property, value);
    if (value.v.vt != VT_BSTR)
        raise(E_UNEXPECTED);
    return fromBase64(std::wstring(value.v.bstrVal, SysStringLen(value.v.bstrVal)));
}

void writeTextProperty(IStorageObject* item, const GUID& property, const std::wstring& text) {
    Value value;
    value.v.vt = VT_BSTR;
    value.v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!value.v.bstrVal)
        throw std::bad_alloc();
    checkServerCall(not_null(item)->SetProperty(property, value.v), item);
}

ULONGLONG readFlags(IStorageObject* item) {
    Value value;
    read(item, StorageProperty_Flags, value);
    if (value.v.vt == VT_EMPTY)
        return 0;
    if (value.v.vt != VT_UI8)
        raise(E_UNEXPECTED);
    return value.v.ullVal;
}

bool readFrozen(IStorageObject* item) {
    Value value;
    read(item, StorageProperty_Frozen, value);
    if (value.v.vt == VT_EMPTY)
        return false;
    if (value.v.vt != VT_BOOL)
        raise(E_UNEXPECTED);
    return value.v.boolVal != VARIANT_FALSE;
}

GUID readStorageId(IStorageObject* item) {
    GUID id;
    if (FAILED(CLSIDFromString(readTextProperty(item, StorageProperty_Id).c_str(), &id)))
        raise(E_UNEXPECTED);
    return id;
}

} // namespace cfx
