// cfxtool's connection to the storage server: one root object, the storage
// it opened, unlocking with the user's key and finding items by path.
#pragma once

#include "common/Variant.h"

#include <windows.h>
#include <wrl/client.h>

#include "cfxstorage.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cfx::tool {

using Microsoft::WRL::ComPtr;

// Where the key that unlocks a storage comes from: a key file given on the
// command line, else the current user's "MY" store.
struct KeySource {
    std::wstring pfxFile;
    std::optional<std::wstring> password;
};

// Names of a path inside a storage, split at "\" and "/"; none for the root.
std::vector<std::wstring> splitItemPath(const std::wstring& path);
// The names joined with "\", as the server names items.
std::wstring joinItemPath(const std::wstring& folder, const std::wstring& name);
std::wstring normalItemPath(const std::wstring& path);

// The full path of a file named on the command line.
std::wstring fullPath(const std::wstring& path);

void getProperty(IStorageObject* object, const GUID& id, Variant& value,
                 const std::wstring& action);
void setProperty(IStorageObject* object, const GUID& id, const Variant& value,
                 const std::wstring& action);

// What a folder's enumeration tells of one item.
struct ChildInfo {
    std::wstring name;
    LONG type = 0;
    ULONGLONG size = 0;
    ItemTimes times{};
};

// An item of a folder by name (path names it in messages); a missing one fails.
ComPtr<IStorageFolder> openFolder(IStorageFolder* parent, const std::wstring& name,
                                  const std::wstring& path, bool create);
ComPtr<IStorageFile> openFile(IStorageFolder* parent, const std::wstring& name,
                              const std::wstring& path, bool create);

// Calls visit for each item of the folder at path, in the order the storage
// lists them, and with recursive for everything below, a folder before its
// items. The item's path joins path and its name.
using Visit =
    std::function<void(IStorageFolder* parent, const ChildInfo& child, const std::wstring& path)>;
void forEachItem(IStorageFolder* folder, const std::wstring& path, bool recursive,
                 const Visit& visit);

class StorageSession {
public:
    // Connects to the storage server (ToolError with exit code 3 when it
    // cannot be reached).
    StorageSession();

    IStorageServer* server() const noexcept { return server_.Get(); }

    // Opens the storage file at path (made full) on the server.
    void open(const std::wstring& path);
    // Forgets the storage object, as ReleaseStorage and freezing need.
    void close() noexcept { storage_.Reset(); }
    const std::wstring& path() const noexcept { return path_; }
    IStorageObject* storage() const noexcept { return storage_.Get(); }
    // The storage's name for messages: 'C:\...\name.demo-coffrex'.
    std::wstring shownStorage() const;

    // Has the server unlock the storage with the key (ToolError with exit
    // code 4 when no key opens it).
    void unlock(const KeySource& key);
    // The storage key itself, recovered from the KeyRecord with the private
    // key of the storage's certificate, as the shell extension recovers it
    // for item comments (ToolError with exit code 4 when no key opens it).
    std::vector<BYTE> storageKey(const KeySource& key) const;

    // The item at a path inside the storage; the storage object for the root.
    ComPtr<IStorageObject> item(const std::wstring& itemPath) const;
    // The folder at a path; create makes the missing folders on the way.
    ComPtr<IStorageFolder> folder(const std::wstring& itemPath, bool create) const;
    // The folder that holds the item at the path and the item's name; a
    // usage error for the root.
    std::pair<ComPtr<IStorageFolder>, std::wstring> parentOf(const std::wstring& itemPath) const;

private:
    ComPtr<IStorageFolder> root() const;
    // The folder reached through the first count names.
    ComPtr<IStorageFolder> walk(const std::vector<std::wstring>& names, size_t count,
                                bool create) const;
    bool contentsAnswer() const;

    ComPtr<IStorageServer> server_;
    std::wstring path_;
    ComPtr<IStorageObject> storage_;
};

} // namespace cfx::tool
