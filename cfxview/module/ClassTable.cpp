#include "module/ClassTable.h"

#include "common/Exceptions.h"
#include "folder/StorageFolder.h"
#include "storagefile/IconOverlay.h"
#include "storagefile/StorageContextMenu.h"
#include "storagefile/StoragePropertyPage.h"

namespace cfx::module {

namespace {

template <class T> OwnedObject create() {
    return OwnedObject(new T);
}

template <storagefile::IconOverlay::Kind kind> OwnedObject createOverlay() {
    return OwnedObject(new storagefile::IconOverlay(kind));
}

// The storage folder made by the factory is a storage's root; the shell's
// IPersistFolder::Initialize gives it its place.
OwnedObject createRootFolder() {
    return OwnedObject(new folder::StorageFolder(folder::StorageFolder::Root));
}

} // namespace

const std::vector<ClassEntry>& classTable() {
    static const std::vector<ClassEntry> table = {
        {&CLSID_StorageFolder, &createRootFolder},
        {&CLSID_StoragePropertyPage, &create<storagefile::StoragePropertyPage>},
        {&CLSID_StorageContextMenu, &create<storagefile::StorageContextMenu>},
        {&CLSID_FrozenOverlay, &createOverlay<storagefile::IconOverlay::Frozen>},
        {&CLSID_InaccessibleOverlay, &createOverlay<storagefile::IconOverlay::Inaccessible>},
        {&CLSID_KeyOverlay, &createOverlay<storagefile::IconOverlay::Key>},
    };
    return table;
}

const ClassEntry* findClass(REFCLSID clsid) noexcept {
    for (const ClassEntry& entry : classTable())
        if (std::memcmp(entry.clsid, &clsid, sizeof(CLSID)) == 0)
            return &entry;
    return nullptr;
}

OwnedObject makeObject(REFCLSID clsid) {
    const ClassEntry* entry = findClass(clsid);
    if (!entry)
        raise(CLASS_E_CLASSNOTAVAILABLE);
    return entry->create();
}

std::vector<IID> interfacesOf(REFCLSID clsid) {
    return makeObject(clsid)->answeredInterfaces();
}

} // namespace cfx::module
