#include "support/FakeStorageItem.h"

#include "common/ErrorObjectHook.h"

#include <oleauto.h>

namespace cfx::test {

template <class T> HRESULT FakeStorageItem::answer(Call call, T* out, const T& value) {
    calls_.push_back(call);
    if (auto failure = failures_.find(call); failure != failures_.end()) {
        setErrorObject(IID_IStorageItem, name_.value_or(L"").c_str(), failure->second.second);
        return failure->second.first;
    }
    if (!out)
        return E_POINTER;
    *out = value;
    return S_OK;
}

template HRESULT FakeStorageItem::answer(Call, LONG*, const LONG&);
template HRESULT FakeStorageItem::answer(Call, ItemTimes*, const ItemTimes&);
template HRESULT FakeStorageItem::answer(Call, ULONGLONG*, const ULONGLONG&);

// By length, so that a name with embedded zeros arrives whole.
STDMETHODIMP FakeStorageItem::GetName(BSTR* name) {
    BSTR value = name_ ? SysAllocStringLen(name_->data(), UINT(name_->size())) : nullptr;
    HRESULT hr = answer(Call::GetName, name, value);
    if (FAILED(hr))
        SysFreeString(value);
    return SUCCEEDED(hr) && name_ && !value ? E_OUTOFMEMORY : hr;
}

} // namespace cfx::test
