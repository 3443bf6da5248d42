// The storage engine: an encrypted container file and the items inside it.
//
// A container is a compound file (docfile) whose streams hold a plaintext
// header (identity, key identifier, key record, key check value, the
// storage-level properties readable without the key), one encrypted and
// authenticated record per item (name, times, size, properties) and one
// encrypted data stream per file. docs/storage-format.md gives the format,
// the keys and the unlock protocol.
//
// Locked and unlocked. An opened container is locked: it answers its
// storage-level properties (Id, KeyId, KeyRecord, KeyState, Frozen, Flags,
// AttachedKey) and refuses names, contents and item properties with
// E_ACCESSDENIED until it is given the storage key, directly (unlock) or
// through the key-state protocol (read the KeyState property, have the
// client answer it, write the answer back; KeyClient.h is the client's half).
// A frozen container (Frozen set) refuses contents the same way.
//
// Transactions. Every change of names, properties, times or the tree is
// committed before the call returns. Writes through a FileStream are
// committed by FileStream::commit, Container::commit, the next committed
// change or close. A crash or a killed process leaves the container as the
// last commit left it (a rollback journal beside the file is played back
// when the container is next opened). When a change fails half-way, the
// container goes back to its last commit.
//
// Handles. Item and FileStream are handles: an item number and the
// container. A handle whose item was deleted fails with STG_E_REVERTED, as
// do all handles once the container is closed (reopen hands out new ones).
//
// Every failure is a StoreError: a standard HRESULT (STG_E_FILENOTFOUND,
// STG_E_PATHNOTFOUND, STG_E_FILEALREADYEXISTS, STG_E_INVALIDNAME,
// E_ACCESSDENIED, STG_E_DOCFILECORRUPT, ...) with a text naming the item;
// describeCurrentException (StoreError.h) turns any exception into the
// HRESULT and text of an error object. A container may be used from any
// number of threads; its calls take turns.
//
// Example:
//   auto storage = Container::create(L"C:\\s.demo-coffrex", der.data(), der.size());
//   Item root = storage->root();
//   Item docs = root.openFolder(L"Documents", true);
//   FileStream stream = docs.openFile(L"a.txt", true)->openStream();
//   stream.write(0, "hello", 5);
//   stream.commit();
//   storage->close();
//   auto again = Container::open(L"C:\\s.demo-coffrex");       // locked
//   again->root().getProperty(StorageProperty_KeyState, &v);  // request, for the client
//   again->root().setProperty(StorageProperty_KeyState, answer); // unlocked
#pragma once

#include "Catalog.h"
#include "ContainerHeader.h"
#include "FileContents.h"
#include "JournaledFile.h"
#include "KeyMaterial.h"
#include "StoreTypes.h"

#include <windows.h>
#include <objidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cfx::store {

class Item;
class FileStream;

class Container : public std::enable_shared_from_this<Container> {
public:
    struct Options {
        // Commits are flushed to the disk so that they survive a power
        // failure too (FlushFileBuffers); without it they survive a crash or
        // a killed process, and commits are faster.
        bool durable = true;
    };

    // Makes a new container at path for one certificate (DER); the new
    // container is open and unlocked. STG_E_FILEALREADYEXISTS when the file
    // exists, E_INVALIDARG for a certificate without an RSA key.
    static std::shared_ptr<Container> create(const std::wstring& path, const BYTE* certificate,
                                             size_t certificateSize, Options options);
    static std::shared_ptr<Container> create(const std::wstring& path, const BYTE* certificate,
                                             size_t certificateSize);

    // Opens an existing container, locked. STG_E_FILENOTFOUND for a missing
    // file, STG_E_SHAREVIOLATION when another program has it open,
    // STG_E_DOCFILECORRUPT for a file that is not a container or is damaged.
    static std::shared_ptr<Container> open(const std::wstring& path, Options options);
    static std::shared_ptr<Container> open(const std::wstring& path);

    ~Container();
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    const std::wstring& path() const noexcept { return path_; }
    GUID id() const;
    bool isOpen() const;
    bool isUnlocked() const;
    bool isFrozen() const;

    // The storage object: the root folder, whose properties are the storage's.
    Item root();

    // The key-state protocol, as the KeyState property carries it (bytes
    // here, Base64 in the property).
    std::vector<BYTE> keyStateRequest();
    void acceptKeyState(const std::vector<BYTE>& answer);

    // Unlocks with the storage key; E_ACCESSDENIED when the key is not this
    // storage's (the container's key check value decides).
    void unlock(const StorageKey& key);
    // Commits, then forgets the key: contents are refused until unlocked again.
    void lock();

    void commit();
    // Commits and closes the file, so that it can be moved, renamed or
    // deleted. The key stays known: reopen unlocks again when it fits.
    void close();
    void reopen();
    // Commits, rewrites the container compactly into a new file that
    // atomically replaces it, and opens that; handles stay valid.
    void defragment();

    struct Token {};
    Container(Token, std::wstring path, Options options);

private:
    friend class Item;
    friend class FileStream;
    using Lock = std::unique_lock<std::mutex>;

    void openLocked();
    void closeLocked(bool committed) noexcept;
    void commitLocked();
    void abandonLocked() noexcept;
    void unlockLocked(const StorageKey& key);
    void loadCatalog();
    void saveCatalog();
    void saveHeader();

    void requireOpen(unsigned epoch) const;
    bool frozenLocked() const;
    Catalog& requireContents(unsigned epoch);
    CatalogItem& itemOf(const Item& item);
    CatalogItem& folderOf(const Item& item);
    CatalogItem& fileOf(const Item& item);
    std::wstring pathOf(const CatalogItem& item) const;
    std::wstring describe(const CatalogItem& item) const;
    DataStream& dataStream(ItemNumber number);
    void trimDataStreams();
    void dropDataStream(ItemNumber number);
    Item handle(ItemNumber number);
    template <class Change> auto change(Change&& body) -> decltype(body());

    // Item operations, under the lock.
    void getProperty(const Item& item, const GUID& property, VARIANT* value);
    void setProperty(const Item& item, const GUID& property, const VARIANT& value);
    void removeProperty(const Item& item, const GUID& property);
    std::vector<GUID> listProperties(const Item& item);

    mutable std::mutex mutex_;
    const std::wstring path_;
    const Options options_;
    unsigned epoch_ = 1; // handles of an earlier opening carry an older value
    bool open_ = false;
    Microsoft::WRL::ComPtr<JournaledFile> file_;
    Microsoft::WRL::ComPtr<IStorage> storage_;
    ContainerHeader header_;
    bool headerChanged_ = false;
    std::optional<StorageKey> key_;
    std::unique_ptr<KeyMaterial> keys_;
    std::optional<Catalog> catalog_;
    std::map<ItemNumber, DataStream> streams_;
};

// A handle on one item: the storage's root folder, a folder or a file.
class Item {
public:
    Item() = default;

    const std::shared_ptr<Container>& container() const noexcept { return container_; }
    ItemNumber number() const noexcept { return number_; }
    bool isRoot() const noexcept { return number_ == Catalog::kRoot; }

    ItemType type() const;
    std::wstring name() const; // empty for the root
    ItemTimes times() const;
    ULONGLONG size() const;
    ItemInfo info() const;
    // Names from the root joined with "\"; empty for the root.
    std::wstring path() const;
    void setTimes(const ItemTimes& times);

    // VT_EMPTY when absent. On every item Id is its GUID in registry form; on
    // the root Id, KeyId, KeyRecord and KeyState are the storage's, and
    // Frozen (VT_BOOL), Flags (VT_UI8) and AttachedKey (VT_BSTR) are kept
    // readable without the key. Id, KeyId and KeyRecord cannot be changed;
    // writing KeyState gives the container the storage key.
    void getProperty(const GUID& property, VARIANT* value) const;
    void setProperty(const GUID& property, const VARIANT& value);
    void removeProperty(const GUID& property);
    std::vector<GUID> listProperties() const;

    // Folders (STG_E_INVALIDFUNCTION on a file). Children are listed in the
    // order they were made.
    std::vector<ItemInfo> list() const;
    std::vector<Item> children() const;
    // STG_E_PATHNOTFOUND when absent and not to be made; when a file has the
    // name, STG_E_FILEALREADYEXISTS to make and STG_E_PATHNOTFOUND to open.
    Item openFolder(const std::wstring& name, bool create);
    // Nothing when absent and not to be made, or a folder has the name and
    // create is false; STG_E_FILEALREADYEXISTS when a folder has the name
    // and create is true.
    std::optional<Item> openFile(const std::wstring& name, bool create);
    // STG_E_FILENOTFOUND when absent.
    Item item(const std::wstring& name) const;
    std::optional<Item> find(const std::wstring& name) const;
    // STG_E_FILEALREADYEXISTS when another item has the new name.
    void rename(const std::wstring& oldName, const std::wstring& newName);
    // Deletes a file, or a folder with everything below it.
    void remove(const std::wstring& name);

    // Files (STG_E_INVALIDFUNCTION on a folder).
    FileStream openStream();
    // MD5 of the contents.
    std::array<BYTE, 16> checksum() const;

private:
    friend class Container;
    friend class FileStream;
    Item(std::shared_ptr<Container> container, unsigned epoch, ItemNumber number)
        : container_(std::move(container)), epoch_(epoch), number_(number) {}

    Container& owner() const;
    // read(container, catalog entry) under the container's lock; the root,
    // which has no entry, gives rootValue once the container is known open.
    template <class T, class Read> T readEntry(T rootValue, Read&& read) const;
    // make(container, child number) for each child of the folder, under the lock.
    template <class Make> auto mapChildren(Make&& make) const;

    std::shared_ptr<Container> container_;
    unsigned epoch_ = 0;
    ItemNumber number_ = 0;
};

// Reads and writes a file's contents at any offset (the stream's position
// belongs to the caller).
class FileStream {
public:
    const Item& file() const noexcept { return file_; }

    // Bytes read; fewer than asked at the end of the file.
    ULONG read(ULONGLONG offset, void* buffer, ULONG size);
    // Writing past the end fills the gap with zero bytes.
    void write(ULONGLONG offset, const void* data, ULONG size);
    ULONGLONG size() const;
    void setSize(ULONGLONG size);
    void commit();

private:
    friend class Item;
    explicit FileStream(Item file) : file_(std::move(file)) {}
    Item file_;
};

// Rewrites a closed container compactly and replaces the file with it
// atomically (MoveFileExW with MOVEFILE_REPLACE_EXISTING); it needs no key.
void defragmentContainer(const std::wstring& path);

} // namespace cfx::store
