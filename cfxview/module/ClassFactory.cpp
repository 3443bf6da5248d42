#include "module/ClassFactory.h"

#include "common/Exceptions.h"
#include "module/ClassTable.h"
#include "module/Module.h"

namespace cfx::module {

// Objects are never aggregated: the outer unknown is not looked at.
STDMETHODIMP ClassFactory::CreateInstance(IUnknown*, REFIID iid, void** out) {
    return guarded([&] {
        if (!out)
            return E_POINTER;
        *out = nullptr;

        OwnedObject object;
        try {
            object = makeObject(clsid_);
        } catch (...) {
            return CLASS_E_CLASSNOTAVAILABLE;
        }
        // A refused interface destroys the new object with its birth reference.
        return object->queryInterface(iid, out);
    });
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        module::lock();
    else
        module::unlock();
    return S_OK;
}

} // namespace cfx::module
