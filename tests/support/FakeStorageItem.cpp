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

STDMETHODIMP FakeStorageItem::GetType(LONG* type) {
    if (HRESULT hr = enter(Call::GetType); FAILED(hr))
        return hr;
    if (!type)
        return E_POINTER;
    *type = type_;
    return S_OK;
}

STDMETHODIMP FakeStorageItem::GetName(BSTR* name) {
    if (HRESULT hr = enter(Call::GetName); FAILED(hr))
        return hr;
    if (!name)
        return E_POINTER;
    *name = nullptr;
    if (!name_)
        return S_OK;
    // By length, so that a name with embedded zeros arrives whole.
    *name = SysAllocStringLen(name_->data(), static_cast<UINT>(name_->size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP FakeStorageItem::GetTimes(ItemTimes* times) {
    if (HRESULT hr = enter(Call::GetTimes); FAILED(hr))
        return hr;
    if (!times)
        return E_POINTER;
    *times = times_;
    return S_OK;
}

STDMETHODIMP FakeStorageItem::GetSize(ULONGLONG* size) {
    if (HRESULT hr = enter(Call::GetSize); FAILED(hr))
        return hr;
    if (!size)
        return E_POINTER;
    *size = size_;
    return S_OK;
}

STDMETHODIMP FakeStorageItem::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_IStorageItem) ? S_OK : S_FALSE;
}

} // namespace cfx::test
