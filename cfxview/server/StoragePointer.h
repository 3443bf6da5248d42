// A storage server object kept on the storage thread for a folder, and the
// IStorageFolder pointers the folder's callers use on their own threads.
#pragma once

#include "cfxstorage.h"

#include <wrl/client.h>

namespace cfx::server {

class StoragePointer {
public:
    // Remembers the constructing thread (the folder's own): it keeps its
    // unmarshalled pointer for the object's lifetime.
    StoragePointer() noexcept;
    ~StoragePointer();
    StoragePointer(const StoragePointer&) = delete;
    StoragePointer& operator=(const StoragePointer&) = delete;

    // On the storage thread: keeps object (the storage object or a folder),
    // adding a reference. A pointer kept before is released, and the creating
    // thread's proxy for it is dropped (on that thread) at its next use.
    void reset(IUnknown* object);
    // Keeps what another holder keeps, with a reference of its own.
    void resetFrom(const StoragePointer& other) { reset(other.stored_); }

    bool empty() const noexcept { return stored_ == nullptr; }

    // The kept object itself, for calls made on the storage thread only.
    IUnknown* onStorageThread() const noexcept { return stored_; }

    // The object as an IStorageFolder usable on the calling thread. Raises
    // E_NOINTERFACE when nothing is kept.
    Microsoft::WRL::ComPtr<IStorageFolder> folderForThisThread();

private:
    Microsoft::WRL::ComPtr<IStorageFolder> unmarshalForThisThread();

    IUnknown* stored_ = nullptr; // lives on the storage thread
    // Counts resets, so that the creating thread's proxy of an object that
    // was replaced is not handed out again.
    volatile LONG generation_ = 0;
    DWORD creatingThread_;
    Microsoft::WRL::ComPtr<IStorageFolder> creatingThreadFolder_;
    LONG creatingThreadGeneration_ = 0;
};

} // namespace cfx::server
