#include "OpenStorages.h"

#include "StoreError.h"
#include "cfxstorage.h"

#include <shlwapi.h>

namespace cfx::storeserver {

using store::fail;
using store::quoted;

bool StorageEntry::isOpen() const {
    return container_ && container_->isOpen();
}

LONG StorageEntry::state() const {
    if (heldFrozen_)
        return StorageStateFrozen;
    return isOpen() ? StorageStateOpen : StorageStateUnknown;
}

void StorageEntry::open() {
    if (!container_)
        container_ = store::Container::open(path_);
    else if (!container_->isOpen())
        container_->reopen();
    if (heldFrozen_)
        container_->close();
}

void StorageEntry::create(const BYTE* certificate, size_t size) {
    auto created = store::Container::create(path_, certificate, size);
    endOpening();
    container_ = std::move(created);
    heldFrozen_ = false;
}

void StorageEntry::release() {
    endOpening();
}

void StorageEntry::lock() {
    if (container_) {
        if (!container_->isOpen())
            container_->reopen();
        container_->lock();
    }
    endOpening();
}

void StorageEntry::setFrozen(bool frozen) {
    if (frozen && !heldFrozen_)
        endOpening();
    heldFrozen_ = frozen;
}

void StorageEntry::defragment() {
    if (isOpen())
        container_->defragment();
    else
        store::defragmentContainer(path_);
}

void StorageEntry::commit() {
    if (isOpen())
        container_->commit();
}

void StorageEntry::requireOpening(unsigned opening) const {
    if (opening != opening_ || !container_)
        fail(STG_E_REVERTED,
             L"The storage " + quoted(path_) + L" was closed since this object was opened.");
    if (!heldFrozen_ && !container_->isOpen())
        fail(STG_E_REVERTED, L"The storage " + quoted(path_) + L" is closed.");
}

void StorageEntry::endOpening() {
    ++opening_;
    if (isOpen())
        container_->close();
}

OpenStorages& OpenStorages::instance() {
    static OpenStorages storages;
    return storages;
}

std::wstring OpenStorages::keyOf(const std::wstring& path) {
    if (path.empty() || PathIsRelativeW(path.c_str()))
        fail(E_INVALIDARG, L"The storage path " + quoted(path) + L" is not a full path.");
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (size == 0 || size >= full.size())
        fail(E_INVALIDARG, L"The storage path " + quoted(path) + L" is not valid.");
    full.resize(size);
    CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
    return full;
}

std::shared_ptr<StorageEntry> OpenStorages::entry(const std::wstring& path) {
    auto& found = entries_[keyOf(path)];
    if (!found)
        found = std::make_shared<StorageEntry>(path);
    return found;
}

std::shared_ptr<StorageEntry> OpenStorages::find(const std::wstring& path) const {
    auto found = entries_.find(keyOf(path));
    return found == entries_.end() ? nullptr : found->second;
}

std::vector<std::wstring> OpenStorages::openPaths() const {
    std::vector<std::wstring> paths;
    for (const auto& [key, entry] : entries_)
        if (entry->isOpen())
            paths.push_back(entry->path());
    return paths;
}

void OpenStorages::closeAll() noexcept {
    for (const auto& [key, entry] : entries_) {
        try {
            if (entry->isOpen())
                entry->release();
        } catch (...) {
            // No client is left to tell: the file stays as its last commit left it.
        }
    }
}

} // namespace cfx::storeserver
