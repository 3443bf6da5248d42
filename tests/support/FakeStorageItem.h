// An in-process stand-in for the storage server's item object: it answers the
// item calls with values a test sets, and fails the calls a test chooses the
// way the server does, with an HRESULT and an error description.
#pragma once

#include "common/ComObjectBase.h"

#include <oaidl.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cfxstorage.h"

namespace cfx::test {

class FakeStorageItem;
using FakeStorageItemPtr = std::unique_ptr<FakeStorageItem, ReleaseObject>;

class FakeStorageItem : public ComObject<IStorageItem, ISupportErrorInfo> {
public:
    enum class Call { GetType, GetName, GetTimes, GetSize };

    // A file named "item" of size 0; the returned holder owns the birth reference.
    static FakeStorageItemPtr create();

    void setType(LONG type) { type_ = type; }
    // nullopt makes GetName return a null BSTR.
    void setName(std::optional<std::wstring> name) { name_ = std::move(name); }
    void setSize(ULONGLONG size) { size_ = size; }
    void setTimes(const ItemTimes& times) { times_ = times; }

    // From now on the call fails with hr and sets error information with this
    // description, whose source is the item's name.
    void failCall(Call call, HRESULT hr, std::wstring description = L"");

    // The item calls made so far, in order.
    const std::vector<Call>& calls() const { return calls_; }

    // IStorageItem
    STDMETHODIMP GetType(LONG* type) override;
    STDMETHODIMP GetName(BSTR* name) override;
    STDMETHODIMP GetTimes(ItemTimes* times) override;
    STDMETHODIMP GetSize(ULONGLONG* size) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

protected:
    FakeStorageItem() = default;

    // Records the call; returns the injected failure, S_OK when there is none.
    HRESULT enter(Call call);
    template <class T> HRESULT answer(Call call, T* out, const T& value);

private:
    struct Failure {
        HRESULT hr;
        std::wstring description;
    };

    LONG type_ = StorageItemFile;
    std::optional<std::wstring> name_ = std::wstring(L"item");
    ULONGLONG size_ = 0;
    ItemTimes times_ = {};
    std::map<Call, Failure> failures_;
    std::vector<Call> calls_;
};

} // namespace cfx::test
