// The part every COM object shares: the reference count, the table-driven
// QueryInterface and the object's unit of its program's lock count.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace cfx {

// Names the count every object raises while it lives: the DLL's module lock
// count, the storage server's own count of live objects. A program names it
// once, before its first object; until then objects count nowhere.
void countObjectsIn(volatile LONG* lockCount) noexcept;

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const noexcept {
        return std::memcmp(&a, &b, sizeof(GUID)) < 0;
    }
};

class ComObjectBase {
public:
    ComObjectBase(const ComObjectBase&) = delete;
    ComObjectBase& operator=(const ComObjectBase&) = delete;

    // Objects are apartment-bound, so the count needs no interlocking.
    ULONG addRef() noexcept { return ++references_; }
    ULONG release() noexcept;

    // IUnknown, then the class's interface list, then the extra table.
    HRESULT queryInterface(REFIID iid, void** out) noexcept;

    // Every interface the object answers: the extra table's entries, the
    // interface list in order, then IUnknown.
    std::vector<IID> answeredInterfaces() const;

protected:
    ComObjectBase() noexcept;
    virtual ~ComObjectBase();

    // Interfaces reached through another of the object's pointers, such as a
    // base interface answered with the pointer of the interface derived from it.
    void addExtraInterface(REFIID iid, IUnknown* pointer);

private:
    virtual size_t interfaceCount() const noexcept = 0;
    virtual const IID& interfaceId(size_t index) const noexcept = 0;
    virtual IUnknown* interfacePointer(size_t index) noexcept = 0;

    ULONG references_ = 1;
    std::map<IID, IUnknown*, GuidLess> extraInterfaces_;
};

// A COM class: derive from ComObject<Interfaces...> and implement the
// interfaces' methods. The first interface doubles as the object's IUnknown.
template <class... Interfaces> class ComObject : public ComObjectBase, public Interfaces... {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        return queryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
    STDMETHODIMP_(ULONG) Release() override { return release(); }

private:
    size_t interfaceCount() const noexcept final { return sizeof...(Interfaces); }

    const IID& interfaceId(size_t index) const noexcept final {
        static const IID* const ids[] = {&__uuidof(Interfaces)...};
        return *ids[index];
    }

    IUnknown* interfacePointer(size_t index) noexcept final {
        IUnknown* const pointers[] = {static_cast<Interfaces*>(this)...};
        return pointers[index];
    }
};

// Holds an object through its birth (or any other owned) reference.
struct ReleaseObject {
    void operator()(ComObjectBase* object) const noexcept { object->release(); }
};
using OwnedObject = std::unique_ptr<ComObjectBase, ReleaseObject>;

// Takes over a reference the caller already owns (a new object's birth
// reference, an out parameter). mingw-w64's ComPtr::Attach adds a reference
// of its own, unlike the SDK's, so it must not be used for this.
template <class T> Microsoft::WRL::ComPtr<T> adopt(T* owned) noexcept {
    Microsoft::WRL::ComPtr<T> pointer;
    *pointer.GetAddressOf() = owned;
    return pointer;
}

} // namespace cfx
