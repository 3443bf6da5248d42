// The process's table of unlocked storage keys, by storage Id. An entry lives
// from the first unlock of a storage in the process until the storage is
// frozen or the process ends; folders that use it hold references.
#pragma once

#include "common/ComObjectBase.h"
#include "common/Handles.h"

#include <windows.h>

#include <map>
#include <memory>
#include <vector>

namespace cfx::server {

// A storage key; its bytes are wiped when the last holder lets go.
using StorageKeyBytes = std::shared_ptr<const std::vector<BYTE>>;
StorageKeyBytes makeStorageKey(std::vector<BYTE> bytes);

class KeyTable {
public:
    static KeyTable& instance();

    // The storage's key; E_ACCESSDENIED when it is not unlocked.
    StorageKeyBytes find(const GUID& id);
    void addReference(const GUID& id);
    // The entry stays when its count reaches 0.
    void releaseReference(const GUID& id);
    // ERROR_ALREADY_INITIALIZED when the storage has an entry; the new entry
    // starts with one reference.
    void add(const GUID& id, StorageKeyBytes key, const Certificate& certificate);
    void remove(const GUID& id);
    // The entry's use count, -1 when there is none.
    LONG useCount(const GUID& id);

    // Held by an unlock from its start to its clean-up, so that table
    // operations of other threads wait for it.
    CriticalSection& lock() noexcept { return lock_; }

private:
    struct KeyEntry {
        GUID id;
        LONG uses;
        StorageKeyBytes key;
        Certificate certificate;
    };

    CriticalSection lock_;
    std::map<GUID, KeyEntry, GuidLess> entries_;
};

} // namespace cfx::server
