#include "common/ComObjectBase.h"

namespace cfx {

namespace {

volatile LONG* g_lockCount = nullptr;

} // namespace

void countObjectsIn(volatile LONG* lockCount) noexcept {
    g_lockCount = lockCount;
}

// Objects may die on another thread than their own (apartment teardown),
// hence the interlocking.
ComObjectBase::ComObjectBase() noexcept {
    if (g_lockCount)
        InterlockedIncrement(g_lockCount);
}

ComObjectBase::~ComObjectBase() {
    if (g_lockCount)
        InterlockedDecrement(g_lockCount);
}

ULONG ComObjectBase::release() noexcept {
    ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT ComObjectBase::queryInterface(REFIID iid, void** out) noexcept {
    if (!out)
        return E_POINTER;
    *out = nullptr;

    IUnknown* found = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
        found = interfacePointer(0);
    } else {
        for (size_t i = 0, n = interfaceCount(); i < n && !found; ++i)
            if (IsEqualIID(iid, interfaceId(i)))
                found = interfacePointer(i);
        if (!found) {
            auto extra = extraInterfaces_.find(iid);
            if (extra != extraInterfaces_.end())
                found = extra->second;
        }
    }
    if (!found)
        return E_NOINTERFACE;
    found->AddRef();
    *out = found;
    return S_OK;
}

std::vector<IID> ComObjectBase::answeredInterfaces() const {
    std::vector<IID> ids;
    for (const auto& extra : extraInterfaces_)
        ids.push_back(extra.first);
    for (size_t i = 0, n = interfaceCount(); i < n; ++i)
        ids.push_back(interfaceId(i));
    ids.push_back(IID_IUnknown);
    return ids;
}

void ComObjectBase::addExtraInterface(REFIID iid, IUnknown* pointer) {
    extraInterfaces_.emplace(iid, pointer);
}

} // namespace cfx
