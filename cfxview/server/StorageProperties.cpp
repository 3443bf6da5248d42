#include "server/StorageProperties.h"

#include "common/Base64.h"
#include "common/Exceptions.h"
#include "common/Variant.h"
#include "server/ServerCall.h"

namespace cfx::server {

namespace {

void read(IStorageObject* item, const GUID& property, Variant& value) {
    checkServerCall(notNull(item)->GetProperty(property, value.put()), item);
}

} // namespace

std::wstring readTextProperty(IStorageObject* item, const GUID& property) {
    Variant value;
    read(item, property, value);
    if (value.type() == VT_EMPTY)
        return {};
    if (value.type() != VT_BSTR)
        raise(E_UNEXPECTED);
    return value.text();
}

std::vector<BYTE> readBytesProperty(IStorageObject* item, const GUID& property) {
    return fromBase64(readTextProperty(item, property));
}

std::vector<BYTE> readRequiredBytesProperty(IStorageObject* item, const GUID& property) {
    Variant value;
    read(item, property, value);
    if (value.type() != VT_BSTR)
        raise(E_UNEXPECTED);
    return fromBase64(value.text());
}

void writeTextProperty(IStorageObject* item, const GUID& property, const std::wstring& text) {
    Variant value(text);
    checkServerCall(notNull(item)->SetProperty(property, value.get()), item);
}

ULONGLONG readFlags(IStorageObject* item) {
    Variant value;
    read(item, StorageProperty_Flags, value);
    if (value.type() == VT_EMPTY)
        return 0;
    if (value.type() != VT_UI8)
        raise(E_UNEXPECTED);
    return value.get().ullVal;
}

bool readFrozen(IStorageObject* item) {
    Variant value;
    read(item, StorageProperty_Frozen, value);
    if (value.type() == VT_EMPTY)
        return false;
    if (value.type() != VT_BOOL)
        raise(E_UNEXPECTED);
    return value.get().boolVal != VARIANT_FALSE;
}

GUID readStorageId(IStorageObject* item) {
    GUID id;
    if (FAILED(CLSIDFromString(readTextProperty(item, StorageProperty_Id).c_str(), &id)))
        raise(E_UNEXPECTED);
    return id;
}

} // namespace cfx::server
