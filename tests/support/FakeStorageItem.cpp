#include "support/FakeStorageItem.h"

#include "common/ErrorObjectHook.h"

#include <oleauto.h>

namespace cfx::test {

FakeStorageItemPtr FakeStorageItem::create() {
    return FakeStorageItemPtr(new FakeStorageItem());
}

void FakeStorageItem::failCall(Call call, HRESULT hr, std::wstring description) {
    failures_[call] = Failure{hr, std::move(description)};
}

HRESULT FakeStorageItem::enter(Call call) {
    calls_.push_back(call);
    auto failure = failures_.find(call);
    if (failure == failures_.end())
        return S_OK;
    setErrorObject(IID_IStorageItem, name_.value_or(L"").c_str(), failure->second.description);
    return failure->second.hr;
}

// The injected failure, or the value through the out pointer.
template <class T> HRESULT FakeStorageItem::answer(Call call, T* out, const T& value) {
    if (HRESULT hr = enter(call); FAILED(hr))
        return hr;
    if (!out)
        return E_POINTER;
    *out = value;
    return S_OK;
}

STDMETHODIMP FakeStorageItem::GetType(LONG* type) {
    return answer(Call::GetType, type, type_);
}

STDMETHODIMP FakeStorageItem::GetTimes(ItemTimes* times) {
    return answer(Call::GetTimes, times, times_);
}

STDMETHODIMP FakeStorageItem::GetSize(ULONGLONG* size) {
    return answer(Call::GetSize, size, size_);
}

// By length, so that a name with embedded zeros arrives whole; nullopt is a
// null BSTR.
STDMETHODIMP FakeStorageItem::GetName(BSTR* name) {
    BSTR value =
        name_ ? SysAllocStringLen(name_->data(), static_cast<UINT>(name_->size())) : nullptr;
    HRESULT hr = answer(Call::GetName, name, value);
    if (FAILED(hr))
        SysFreeString(value);
    return SUCCEEDED(hr) && name_ && !value ? E_OUTOFMEMORY : hr;
}

STDMETHODIMP FakeStorageItem::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_IStorageItem) ? S_OK : S_FALSE;
}

} // namespace cfx::test
