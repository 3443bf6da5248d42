// A storage server kept in memory, for tests: storages keyed by path, each a
// tree of folders and files with properties, answering the storage server's
// interfaces. Tests use it in process, and fake_storage_server.exe serves it to
// other processes. Nothing is enciphered and nothing touches the disk.
//
// Behaviour the tests may rely on:
// - every failure is a standard HRESULT with an error object (ISupportErrorInfo
//   answers S_OK for the storage interfaces) whose description names the item
//   (across processes under Wine only with registerErrorObjectHook, server/ErrorObjectHook.h);
// - a missing item fails with STG_E_FILENOTFOUND, a missing folder opened
//   without create with STG_E_PATHNOTFOUND, a taken name with
//   STG_E_FILEALREADYEXISTS, a bad name with STG_E_INVALIDNAME;
// - ReleaseStorage, LockStorage and SetStorageFrozen(path, 1) close the
//   storage: objects obtained before refuse every call with STG_E_REVERTED
//   until OpenStorage hands out new ones (the fake holds no key to forget);
// - GetStorageState is StorageStateUnknown until SetStorageFrozen sets it;
// - every item gets an Id property at creation, and CreateStorage stores the
//   certificate's key identifier as KeyId (Wine's CryptoAPI finds one only in
//   a Subject Key Identifier extension) and, as no key is enciphered, the
//   certificate itself (Base64) as KeyRecord;
// - ComputeChecksum is the MD5 digest of the contents (contentDigest below).
//
// Objects are apartment-bound like the rest of the library: one catalog and its
// objects are used from one apartment.
#pragma once

#include <windows.h>

#include "cfxstorage.h"

#include <array>
#include <memory>
#include <string>

namespace cfx::test {

struct CatalogData;

// The storages of one server. Copies share the same storages.
class MemoryCatalog {
public:
    MemoryCatalog();

    // A new root object on these storages; the caller owns its one reference.
    IStorageServer* createServer() const;

    // Adds an empty storage without a certificate, open, and returns its root
    // folder (the caller's reference) so that a test can fill it.
    IStorageFolder* addStorage(const std::wstring& path) const;

    // Root objects alive now.
    LONG liveServers() const;

private:
    std::shared_ptr<CatalogData> data_;
};

// The digest ComputeChecksum answers: MD5 of the bytes.
std::array<BYTE, 16> contentDigest(const void* bytes, size_t size);

} // namespace cfx::test
