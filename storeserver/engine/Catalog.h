// The tree of a storage's items as the container keeps it in memory, and the
// plaintext of each item's record. Item numbers identify items for their
// lifetime and name their streams; they are never reused within a container,
// and a folder lists its children in the order of their numbers, which is
// the order they were made in.
#pragma once

#include "PropertyValue.h"
#include "StoreTypes.h"

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cfx::store {

struct CatalogItem {
    ItemNumber number = 0;
    ItemNumber parent = 0; // 0 for the root folder
    ItemType type = ItemType::Folder;
    GUID id{};
    std::wstring name;
    ItemTimes times{};
    std::vector<std::pair<GUID, PropertyValue>> properties; // in the order first set

    // Files: the plaintext size, the nonce of their key stream and the
    // generation of every 4096-byte block that was enciphered more than once
    // (blocks not listed are at generation 0).
    ULONGLONG size = 0;
    ULONGLONG nonce = 0;
    std::map<DWORD, DWORD> generations;

    // Folders (in memory only): children in the order they were made, and
    // by folded name.
    std::vector<ItemNumber> children;
    std::unordered_map<std::wstring, ItemNumber> byName;
};

// The items of one storage. Each item's record is stored on its own (the
// container seals and writes the records of the items changed since the last
// commit), so that a change costs in proportion to the items it touches.
class Catalog {
public:
    static constexpr ItemNumber kRoot = 1;

    // A catalog with only the root folder.
    static Catalog empty(const FILETIME& now);

    // One item's record (the root's also carries the next item number).
    std::vector<BYTE> encodeItem(ItemNumber number) const;
    // Raises STG_E_DOCFILECORRUPT with the description for a damaged record;
    // next receives the next item number when the record is the root's.
    static CatalogItem decodeItem(const std::vector<BYTE>& bytes, ItemNumber& next,
                                  const std::wstring& damaged);
    // The catalog the records make; raises STG_E_DOCFILECORRUPT when they do
    // not make one tree under the root (an item without its folder, two
    // items of one name in a folder, a loop).
    static Catalog assemble(std::vector<CatalogItem> items, ItemNumber next,
                            const std::wstring& damaged);

    CatalogItem* find(ItemNumber number);
    const CatalogItem* find(ItemNumber number) const;
    // The child of a folder with that name (compared without ASCII case), or null.
    CatalogItem* child(const CatalogItem& folder, const std::wstring& name);

    CatalogItem& add(CatalogItem& folder, const std::wstring& name, ItemType type,
                     const FILETIME& now);
    void rename(CatalogItem& item, const std::wstring& name, const FILETIME& now);
    // Removes the item and everything below it; returns the numbers of the
    // files removed, whose data streams go with them.
    std::vector<ItemNumber> remove(ItemNumber number, const FILETIME& now);

    // Marks an item whose record must be written again.
    void touch(ItemNumber number) { changed_.insert(number); }
    bool hasChanges() const noexcept { return !changed_.empty() || !removed_.empty(); }
    // The items to write and the items to remove since the last call.
    std::set<ItemNumber> takeChanged() { return std::exchange(changed_, {}); }
    std::set<ItemNumber> takeRemoved() { return std::exchange(removed_, {}); }

    size_t count() const noexcept { return items_.size(); }

private:
    std::unordered_map<ItemNumber, CatalogItem> items_;
    ItemNumber next_ = kRoot + 1;
    std::set<ItemNumber> changed_;
    std::set<ItemNumber> removed_;
};

} // namespace cfx::store
