// The plain types of the storage engine's interface: what an item is and
// what a listing tells about it.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::store {

// Identifies an item within its container for the item's lifetime.
using ItemNumber = ULONGLONG;

// The values of IStorageItem::GetType.
enum class ItemType : LONG { Folder = 1, File = 2 };

// The order of the storage interface's ItemTimes.
struct ItemTimes {
    FILETIME access;
    FILETIME creation;
    FILETIME write;
};

struct ItemInfo {
    ItemType type = ItemType::Folder;
    std::wstring name;
    ItemTimes times{};
    ULONGLONG size = 0; // 0 for folders
};

} // namespace cfx::store
