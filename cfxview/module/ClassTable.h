// The six classes the library serves, in their fixed order, and the services
// built on them: making an object for a CLSID and listing its interfaces.
#pragma once

#include "common/ComObjectBase.h"
#include "idl/cfxview_classes.h"

#include <vector>

namespace cfx::module {

struct ClassEntry {
    const CLSID* clsid;
    OwnedObject (*create)();
};

// The rows in their fixed order.
const std::vector<ClassEntry>& classTable();

// The row of a CLSID, or null when the library does not serve it.
const ClassEntry* findClass(REFCLSID clsid) noexcept;

// A new object of the class with its birth reference; raises
// CLASS_E_CLASSNOTAVAILABLE for a CLSID outside the table.
OwnedObject makeObject(REFCLSID clsid);

// The interfaces an object of the class answers (extra table, interface list,
// IUnknown); raises CLASS_E_CLASSNOTAVAILABLE for a CLSID outside the table.
std::vector<IID> interfacesOf(REFCLSID clsid);

} // namespace cfx::module
