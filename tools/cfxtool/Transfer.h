// Copying files and folder trees between the local disk and a storage, in
// blocks, with progress on stderr for large files.
#pragma once

#include "StorageSession.h"

#include <string>

namespace cfx::tool {

struct TransferCount {
    ULONGLONG files = 0, folders = 0, bytes = 0;
};

// Copies a local file or folder, with everything below it, into the folder
// of the storage at destination (made when missing). Every file gets its
// Checksum property.
TransferCount putItem(const StorageSession& session, const std::wstring& local,
                      const std::wstring& destination);

// Copies the item at itemPath, with everything below it, out to local: into
// it when it is an existing folder, else to that path; into the current
// folder when local is empty.
TransferCount getItem(const StorageSession& session, const std::wstring& itemPath,
                      const std::wstring& local);

} // namespace cfx::tool
