// An in-process stand-in for the storage server's item: it answers with values
// a test sets, and fails the calls a test chooses as the server does.
#pragma once

#include "common/ComObjectBase.h"
#include "common/ErrorObjectHook.h"

#include <oaidl.h>
#include <oleauto.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cfxstorage.h"

namespace cfx::test {

class FakeStorageItem;
using FakeStorageItemPtr = std::unique_ptr<FakeStorageItem, ReleaseObject>;

class FakeStorageItem : public ComObject<IStorageItem, ISupportErrorInfo> {
public:
    enum class Call { GetType, GetName, GetTimes, GetSize };

    // A file named "item" of size 0; the holder owns the birth reference.
    static FakeStorageItemPtr create() { return FakeStorageItemPtr(new FakeStorageItem()); }

    void setType(LONG type) { type_ = type; }
    void setName(std::optional<std::wstring> name) { name_ = std::move(name); } // none: null BSTR
    void setSize(ULONGLONG size) { size_ = size; }
    void setTimes(const ItemTimes& times) { times_ = times; }
    // From now on the call fails with hr and error information (source: the name).
    void failCall(Call call, HRESULT hr, std::wstring description = L"") {
        failures_[call] = {hr, std::move(description)};
    }
    const std::vector<Call>& calls() const { return calls_; } // made so far, in order

    STDMETHODIMP GetType(LONG* type) override { return answer(Call::GetType, type, type_); }
    // By length, so that a name with embedded zeros arrives whole.
    STDMETHODIMP GetName(BSTR* name) override {
        BSTR value = name_ ? SysAllocStringLen(name_->data(), UINT(name_->size())) : nullptr;
        HRESULT hr = answer(Call::GetName, name, value);
        if (FAILED(hr))
            SysFreeString(value);
        return SUCCEEDED(hr) && name_ && !value ? E_OUTOFMEMORY : hr;
    }
    STDMETHODIMP GetTimes(ItemTimes* out) override { return answer(Call::GetTimes, out, times_); }
    STDMETHODIMP GetSize(ULONGLONG* size) override { return answer(Call::GetSize, size, size_); }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, IID_IStorageItem) ? S_OK : S_FALSE;
    }

private:
    FakeStorageItem() = default;
    // Records the call; the injected failure or the value through out.
    template <class T> HRESULT answer(Call call, T* out, const T& value) {
        calls_.push_back(call);
        if (auto failure = failures_.find(call); failure != failures_.end()) {
            setErrorObject(IID_IStorageItem, name_.value_or(L"").c_str(), failure->second.second);
            return failure->second.first;
        }
        return out ? (*out = value, S_OK) : E_POINTER;
    }

    LONG type_ = StorageItemFile;
    std::optional<std::wstring> name_ = std::wstring(L"item");
    ULONGLONG size_ = 0;
    ItemTimes times_ = {};
    std::map<Call, std::pair<HRESULT, std::wstring>> failures_;
    std::vector<Call> calls_;
};

} // namespace cfx::test
