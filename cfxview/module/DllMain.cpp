// The library's exported entry points.
#include "common/Exceptions.h"
#include "module/ClassFactory.h"
#include "module/ClassTable.h"
#include "module/Module.h"
#include "server/StorageThread.h"
#include "storagefile/Registration.h"

using namespace cfx;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        try {
            module::attach(instance);
        } catch (...) {
            return FALSE;
        }
        DisableThreadLibraryCalls(instance);
        return TRUE;
    case DLL_PROCESS_DETACH:
        server::startOrStopStorageThread(false);
        module::detach();
        return TRUE;
    default:
        return TRUE;
    }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return guarded([&] {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!module::findClass(clsid))
            return CLASS_E_CLASSNOTAVAILABLE;

        // A new factory every time; it lives exactly as long as the caller holds it.
        OwnedObject factory(new module::ClassFactory(clsid));
        return factory->queryInterface(iid, out);
    });
}

STDAPI DllCanUnloadNow() {
    return module::lockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return guarded([] { return storagefile::registerServer(true); });
}

STDAPI DllUnregisterServer() {
    return guarded([] { return storagefile::registerServer(false); });
}
