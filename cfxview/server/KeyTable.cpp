#include "server/KeyTable.h"

#include "common/Exceptions.h"

namespace cfx::server {

StorageKeyBytes makeStorageKey(std::vector<BYTE> bytes) {
    return StorageKeyBytes(new std::vector<BYTE>(std::move(bytes)),
                           [](const std::vector<BYTE>* key) {
                               SecureZeroMemory(const_cast<BYTE*>(key->data()), key->size());
                               delete key;
                           });
}

KeyTable& KeyTable::instance() {
    static KeyTable table;
    return table;
}

StorageKeyBytes KeyTable::find(const GUID& id) {
    CriticalSection::Lock hold(lock_);
    auto found = entries_.find(id);
    if (found == entries_.end())
        raise(E_ACCESSDENIED);
    return found->second.key;
}

void KeyTable::addReference(const GUID& id) {
    CriticalSection::Lock hold(lock_);
    auto found = entries_.find(id);
    if (found != entries_.end())
        InterlockedIncrement(&found->second.uses);
}

void KeyTable::releaseReference(const GUID& id) {
    CriticalSection::Lock hold(lock_);
    auto found = entries_.find(id);
    if (found != entries_.end())
        InterlockedDecrement(&found->second.uses);
}

void KeyTable::add(const GUID& id, StorageKeyBytes key, const Certificate& certificate) {
    CriticalSection::Lock hold(lock_);
    if (entries_.count(id))
        throw win_except(ERROR_ALREADY_INITIALIZED);
    entries_.emplace(id, KeyEntry{id, 1, std::move(key), certificate});
}

void KeyTable::remove(const GUID& id) {
    CriticalSection::Lock hold(lock_);
    entries_.erase(id);
}

LONG KeyTable::useCount(const GUID& id) {
    CriticalSection::Lock hold(lock_);
    auto found = entries_.find(id);
    return found == entries_.end() ? -1 : found->second.uses;
}

} // namespace cfx::server
