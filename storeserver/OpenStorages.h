// What the server knows of the storage files its clients named: one entry per
// file, shared by every root object of the process, with the container (open,
// closed or not yet opened), whether the file is held frozen, and the opening
// that the objects handed out belong to.
//
// Held frozen, a storage's file stays closed so that it can be renamed, moved
// or opened exclusively by someone else; its storage object still answers the
// item and property calls (so that a client can read and clear Frozen) by
// opening the file for the length of each call.
//
// Objects handed out before a release, a lock or a freeze fail with
// STG_E_REVERTED: the opening they belong to is over.
//
// The server runs in one single-threaded apartment, so the table needs no lock.
#pragma once

#include "Container.h"

#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cfx::storeserver {

class StorageEntry {
public:
    explicit StorageEntry(std::wstring path) : path_(std::move(path)) {}

    const std::wstring& path() const noexcept { return path_; }
    unsigned opening() const noexcept { return opening_; }
    bool heldFrozen() const noexcept { return heldFrozen_; }
    bool isOpen() const;
    LONG state() const;

    // Opens the file (again) unless it is held frozen, where it is only
    // checked to be a container; starts no new opening.
    void open();
    void create(const BYTE* certificate, size_t size);
    // Closes the file; objects of the current opening fail from now on.
    void release();
    // Forgets the storage key as well.
    void lock();
    void setFrozen(bool frozen);
    void defragment();
    void commit();

    // Runs body(Container&) with the file open; STG_E_REVERTED when the
    // caller's opening is over. A storage held frozen is opened for the call
    // and closed after it.
    template <class Body>
    auto use(unsigned opening, Body&& body) -> decltype(body(std::declval<store::Container&>())) {
        requireOpening(opening);
        if (!heldFrozen_)
            return body(*container_);
        container_->reopen();
        struct CloseAfter {
            store::Container& container;
            ~CloseAfter() { container.close(); }
        } closeAfter{*container_};
        return body(*container_);
    }

private:
    void requireOpening(unsigned opening) const;
    void endOpening();

    const std::wstring path_;
    std::shared_ptr<store::Container> container_;
    bool heldFrozen_ = false;
    unsigned opening_ = 1;
};

// The process's table of storages, by full path without regard to case.
class OpenStorages {
public:
    static OpenStorages& instance();

    // The entry for a path, made when absent; E_INVALIDARG for an empty or
    // relative path.
    std::shared_ptr<StorageEntry> entry(const std::wstring& path);
    // The entry when there is one.
    std::shared_ptr<StorageEntry> find(const std::wstring& path) const;
    std::vector<std::wstring> openPaths() const;
    // Closes every storage file, as a server about to exit does so that the
    // next server can open them; each opens again when a client asks for it.
    void closeAll() noexcept;

private:
    static std::wstring keyOf(const std::wstring& path);

    std::map<std::wstring, std::shared_ptr<StorageEntry>> entries_;
};

// An item of an opened storage as a server object reaches it: the entry, the
// opening and the item; no item means the storage's root, found anew for
// every call so that it survives the file being opened for a call only.
class ItemPlace {
public:
    ItemPlace(std::shared_ptr<StorageEntry> entry, std::optional<store::Item> item)
        : entry_(std::move(entry)), opening_(entry_->opening()), item_(std::move(item)) {}

    template <class Body> auto use(Body&& body) const {
        return entry_->use(opening_, [&](store::Container& container) {
            store::Item target = item_ ? *item_ : container.root();
            return body(target);
        });
    }

    // A place for an item reached from this one.
    ItemPlace child(store::Item item) const { return ItemPlace(entry_, opening_, std::move(item)); }
    const std::shared_ptr<StorageEntry>& entry() const noexcept { return entry_; }

private:
    ItemPlace(std::shared_ptr<StorageEntry> entry, unsigned opening, store::Item item)
        : entry_(std::move(entry)), opening_(opening), item_(std::move(item)) {}

    std::shared_ptr<StorageEntry> entry_;
    unsigned opening_;
    std::optional<store::Item> item_;
};

} // namespace cfx::storeserver
