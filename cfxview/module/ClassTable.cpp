#include "module/ClassTable.h"

#include "common/Exceptions.h"
#include "folder/StorageFolder.h"
#include "storagefile/FrozenOverlay.h"
#include "storagefile/InaccessibleOverlay.h"
#include "storagefile/KeyOverlay.h"
#include "storagefile/StorageContextMenu.h"
#include "storagefile/StoragePropertyPage.h"

namespace cfx::class_table {

namespace {

template <class T> OwnedObject create() {
    return OwnedObject(new T);
}

// The storage folder made by the factory is a storage's root; the shell's
// IPersistFolder::Initialize gives it its place.
OwnedObject createRootFolder() {
    return OwnedObject(new StorageFolder(StorageFolder::Root));
}

} // namespace

const std::vector<ClassEntry>& entries() {
    static const std::vector<ClassEntry> table = {
        {&CLSID_StorageFolder, &createRootFolder},
        {&CLSID_StoragePropertyPage, &create<StoragePropertyPage>},
        {&CLSID_StorageContextMenu, &create<StorageContextMenu>},
        {&CLSID_FrozenOverlay, &create<FrozenOverlay>},
        {&CLSID_InaccessibleOverlay, &create<InaccessibleOverlay>},
        {&CLSID_KeyOverlay, &create<KeyOverlay>},
    };
    return table;
}

const ClassEntry* find(REFCLSID clsid) noexcept {
    for (const ClassEntry& entry : entries())
        if (std::memcmp(entry.clsid, &clsid, sizeof(CLSID)) == 0)
            return &entry;
    return nullptr;
}

OwnedObject makeObject(REFCLSID clsid) {
    const ClassEntry* entry = find(clsid);
    if (!entry)
        raise(CLASS_E_CLASSNOTAVAILABLE);
    return entry->create();
}

std::vector<IID> interfacesOf(REFCLSID clsid) {
    return makeObject(clsid)->answeredInterfaces();
}

} // namespace cfx::class_table
