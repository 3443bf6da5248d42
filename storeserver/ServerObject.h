// The item and property calls, shared by the server's folder and file
// objects. The storage interfaces form one line of inheritance, so the most
// derived interface answers for its bases too.
#pragma once

#include "OpenStorages.h"
#include "Served.h"

#include "cfxstorage.h"
#include "common/ComObjectBase.h"
#include "common/Exceptions.h"

#include <new>

namespace cfx::storeserver {

template <class Interface> class ServerObject : public ComObject<Interface, ISupportErrorInfo> {
public:
    explicit ServerObject(ItemPlace place) : place_(std::move(place)) {
        this->addExtraInterface(IID_IStorageObject, static_cast<Interface*>(this));
        this->addExtraInterface(IID_IStorageItem, static_cast<Interface*>(this));
    }

    STDMETHODIMP GetType(LONG* type) override {
        return serve([&] {
            *notNull(type) = place_.use([](store::Item& item) { return LONG(item.type()); });
        });
    }
    STDMETHODIMP GetName(BSTR* name) override {
        return serve([&] {
            *notNull(name) = nullptr;
            *name = allocBstr(place_.use([](store::Item& item) { return item.name(); }));
        });
    }
    STDMETHODIMP GetTimes(::ItemTimes* times) override {
        return serve([&] {
            notNull(times);
            store::ItemTimes found = place_.use([](store::Item& item) { return item.times(); });
            *times = {found.access, found.creation, found.write};
        });
    }
    STDMETHODIMP GetSize(ULONGLONG* size) override {
        return serve(
            [&] { *notNull(size) = place_.use([](store::Item& item) { return item.size(); }); });
    }
    STDMETHODIMP GetPath(BSTR* path) override {
        return serve([&] {
            *notNull(path) = nullptr;
            *path = allocBstr(place_.use([](store::Item& item) { return item.path(); }));
        });
    }
    STDMETHODIMP GetProperty(GUID id, VARIANT* value) override {
        return serve([&] {
            VariantInit(notNull(value));
            place_.use([&](store::Item& item) { item.getProperty(id, value); });
        });
    }
    STDMETHODIMP SetProperty(GUID id, VARIANT value) override {
        return serve([&] { place_.use([&](store::Item& item) { item.setProperty(id, value); }); });
    }
    STDMETHODIMP RemoveProperty(GUID id) override {
        return serve([&] { place_.use([&](store::Item& item) { item.removeProperty(id); }); });
    }
    STDMETHODIMP ListProperties(ULONG* count, GUID** ids) override {
        return serve([&] {
            *notNull(count) = 0;
            *notNull(ids) = nullptr;
            auto found = place_.use([](store::Item& item) { return item.listProperties(); });
            if (found.empty())
                return;
            auto* list = static_cast<GUID*>(CoTaskMemAlloc(found.size() * sizeof(GUID)));
            if (!list)
                throw std::bad_alloc();
            std::copy(found.begin(), found.end(), list);
            *count = static_cast<ULONG>(found.size());
            *ids = list;
        });
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        for (const IID* answered : {&IID_IStorageItem, &IID_IStorageObject, &__uuidof(Interface)})
            if (IsEqualIID(iid, *answered))
                return S_OK;
        return S_FALSE;
    }

protected:
    template <class Body> HRESULT serve(Body&& body) noexcept {
        return served(__uuidof(Interface), std::forward<Body>(body));
    }

    ItemPlace place_;
};

} // namespace cfx::storeserver
