#include "PropertyText.h"

#include "ToolError.h"

#include "common/Text.h"
#include "common/Variant.h"

#include <objbase.h>
#include <oleauto.h>

#include "cfxstorage.h"

#include <cstring>
#include <cwctype>

namespace cfx::tool {

namespace {

struct KnownProperty {
    const GUID& id;
    const wchar_t* name;
};

const KnownProperty kKnown[] = {
    {StorageProperty_Id, L"Id"},
    {StorageProperty_KeyId, L"KeyId"},
    {StorageProperty_Frozen, L"Frozen"},
    {StorageProperty_AttachedKey, L"AttachedKey"},
    {StorageProperty_Flags, L"Flags"},
    {StorageProperty_Checksum, L"Checksum"},
    {StorageProperty_KeyRecord, L"KeyRecord"},
    {StorageProperty_KeyState, L"KeyState"},
    {StorageProperty_Comment, L"Comment"},
};

// Texts longer than this show their beginning only.
constexpr size_t kLongestText = 64;
constexpr size_t kShownBeginning = 40;

std::wstring shortened(const std::wstring& text) {
    std::wstring shown;
    for (wchar_t c : text.size() > kLongestText ? text.substr(0, kShownBeginning) : text)
        shown += c < L' ' ? L' ' : c; // one property, one line
    if (text.size() > kLongestText)
        shown += L"... (" + std::to_wstring(text.size()) + L" characters)";
    return shown;
}

} // namespace

std::wstring propertyName(const GUID& id) {
    for (const auto& known : kKnown)
        if (IsEqualGUID(known.id, id))
            return known.name;
    return guidText(id);
}

std::wstring typeName(VARTYPE type) {
    static const struct {
        VARTYPE type;
        const wchar_t* name;
    } names[] = {
        {VT_EMPTY, L"VT_EMPTY"}, {VT_NULL, L"VT_NULL"}, {VT_I2, L"VT_I2"},
        {VT_I4, L"VT_I4"},       {VT_R4, L"VT_R4"},     {VT_R8, L"VT_R8"},
        {VT_CY, L"VT_CY"},       {VT_DATE, L"VT_DATE"}, {VT_BSTR, L"VT_BSTR"},
        {VT_ERROR, L"VT_ERROR"}, {VT_BOOL, L"VT_BOOL"}, {VT_I1, L"VT_I1"},
        {VT_UI1, L"VT_UI1"},     {VT_UI2, L"VT_UI2"},   {VT_UI4, L"VT_UI4"},
        {VT_I8, L"VT_I8"},       {VT_UI8, L"VT_UI8"},   {VT_INT, L"VT_INT"},
        {VT_UINT, L"VT_UINT"},
    };
    for (const auto& entry : names)
        if (entry.type == type)
            return entry.name;
    return L"VT_" + std::to_wstring(type);
}

std::wstring valueText(const GUID& id, const VARIANT& value) {
    switch (value.vt) {
    case VT_EMPTY:
        return L"(empty)";
    case VT_NULL:
        return L"(null)";
    case VT_BSTR:
        return shortened(fromBstr(value.bstrVal));
    case VT_BOOL:
        return value.boolVal ? L"true" : L"false";
    case VT_ERROR:
        return hexCode(value.scode);
    case VT_UI8:
        if (IsEqualGUID(id, StorageProperty_Flags))
            return std::to_wstring(value.ullVal) +
                   (value.ullVal & 1 ? L" (a key is attached)" : L" (no key attached)");
        return std::to_wstring(value.ullVal);
    case VT_I8:
        return std::to_wstring(value.llVal);
    default:
        break;
    }
    // Smaller numbers, dates and currency: the system's invariant form.
    Variant text;
    if (FAILED(VariantChangeTypeEx(text.put(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0,
                                   VT_BSTR)))
        return L"(a value of type " + typeName(value.vt) + L")";
    return shortened(text.text());
}

std::wstring checksumText(const BYTE (&checksum)[16]) {
    GUID asGuid;
    std::memcpy(&asGuid, checksum, sizeof asGuid);
    std::wstring text = guidText(asGuid);
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

} // namespace cfx::tool
