#include "Catalog.h"

#include "ItemName.h"
#include "KeyMaterial.h"
#include "StoreError.h"

#include <algorithm>

namespace cfx::store {

namespace {

constexpr DWORD kMagic = 0x4D455449; // "ITEM"
constexpr WORD kVersion = 1;

GUID newItemId() {
    GUID id;
    randomBytes(&id, sizeof id);
    // A version 4 (random) UUID.
    id.Data3 = static_cast<WORD>((id.Data3 & 0x0FFF) | 0x4000);
    id.Data4[0] = static_cast<BYTE>((id.Data4[0] & 0x3F) | 0x80);
    return id;
}

} // namespace

Catalog Catalog::empty(const FILETIME& now) {
    Catalog c;
    CatalogItem root;
    root.number = kRoot;
    root.type = ItemType::Folder;
    root.id = newItemId();
    root.times = {now, now, now};
    c.items_.emplace(kRoot, std::move(root));
    c.touch(kRoot);
    return c;
}

std::vector<BYTE> Catalog::encodeItem(ItemNumber number) const {
    const CatalogItem& item = items_.at(number);
    ByteWriter w;
    w.u32(kMagic);
    w.u16(kVersion);
    w.u64(item.number);
    w.u64(item.parent);
    w.u8(static_cast<BYTE>(item.type));
    w.guid(item.id);
    w.time(item.times.access);
    w.time(item.times.creation);
    w.time(item.times.write);
    w.text(item.name);
    if (item.type == ItemType::File) {
        w.u64(item.size);
        w.u64(item.nonce);
        w.u32(static_cast<DWORD>(item.generations.size()));
        for (const auto& [block, generation] : item.generations) {
            w.u32(block);
            w.u32(generation);
        }
    }
    w.u32(static_cast<DWORD>(item.properties.size()));
    for (const auto& [property, value] : item.properties) {
        w.guid(property);
        value.write(w);
    }
    if (number == kRoot)
        w.u64(next_);
    return w.take();
}

CatalogItem Catalog::decodeItem(const std::vector<BYTE>& bytes, ItemNumber& next,
                                const std::wstring& damaged) {
    ByteReader r(bytes.data(), bytes.size(), STG_E_DOCFILECORRUPT, damaged);
    if (r.u32() != kMagic || r.u16() != kVersion)
        r.damaged();
    CatalogItem item;
    item.number = r.u64();
    item.parent = r.u64();
    BYTE type = r.u8();
    if (type != static_cast<BYTE>(ItemType::Folder) && type != static_cast<BYTE>(ItemType::File))
        r.damaged();
    item.type = static_cast<ItemType>(type);
    item.id = r.guid();
    item.times.access = r.time();
    item.times.creation = r.time();
    item.times.write = r.time();
    item.name = r.text();
    if (item.type == ItemType::File) {
        item.size = r.u64();
        item.nonce = r.u64();
        DWORD generations = r.u32();
        for (DWORD g = 0; g < generations; ++g) {
            DWORD block = r.u32();
            item.generations[block] = r.u32();
        }
    }
    DWORD properties = r.u32();
    for (DWORD p = 0; p < properties; ++p) {
        GUID property = r.guid();
        item.properties.emplace_back(property, PropertyValue::read(r));
    }
    if (item.number == kRoot)
        next = r.u64();
    r.expectEnd();
    return item;
}

Catalog Catalog::assemble(std::vector<CatalogItem> items, ItemNumber next,
                          const std::wstring& damaged) {
    auto broken = [&] { fail(STG_E_DOCFILECORRUPT, damaged); };
    Catalog c;
    c.next_ = next;
    // Children in the order they were made: by number.
    std::sort(items.begin(), items.end(),
              [](const CatalogItem& a, const CatalogItem& b) { return a.number < b.number; });
    for (CatalogItem& item : items) {
        bool isRoot = item.number == kRoot;
        if (item.number >= next ||
            (isRoot && (item.parent != 0 || item.type != ItemType::Folder || !item.name.empty())))
            broken();
        ItemNumber number = item.number;
        if (!c.items_.emplace(number, std::move(item)).second)
            broken();
    }
    if (!c.items_.count(kRoot))
        broken();
    std::vector<ItemNumber> numbers;
    numbers.reserve(c.items_.size());
    for (const auto& entry : c.items_)
        numbers.push_back(entry.first);
    std::sort(numbers.begin(), numbers.end());
    for (ItemNumber number : numbers) {
        if (number == kRoot)
            continue;
        CatalogItem& item = c.items_.at(number);
        auto parent = c.items_.find(item.parent);
        if (parent == c.items_.end() || parent->second.type != ItemType::Folder)
            broken();
        try {
            checkItemName(item.name);
        } catch (const StoreError&) {
            broken();
        }
        if (!parent->second.byName.emplace(foldedName(item.name), number).second)
            broken();
        parent->second.children.push_back(number);
    }
    // Every item must hang under the root: a loop of folders would not.
    size_t reached = 0;
    std::vector<ItemNumber> pending{kRoot};
    while (!pending.empty()) {
        const CatalogItem& item = c.items_.at(pending.back());
        pending.pop_back();
        ++reached;
        pending.insert(pending.end(), item.children.begin(), item.children.end());
    }
    if (reached != c.items_.size())
        broken();
    return c;
}

CatalogItem* Catalog::find(ItemNumber number) {
    auto found = items_.find(number);
    return found == items_.end() ? nullptr : &found->second;
}

const CatalogItem* Catalog::find(ItemNumber number) const {
    auto found = items_.find(number);
    return found == items_.end() ? nullptr : &found->second;
}

CatalogItem* Catalog::child(const CatalogItem& folder, const std::wstring& name) {
    auto found = folder.byName.find(foldedName(name));
    return found == folder.byName.end() ? nullptr : find(found->second);
}

CatalogItem& Catalog::add(CatalogItem& folder, const std::wstring& name, ItemType type,
                          const FILETIME& now) {
    CatalogItem item;
    item.number = next_++;
    item.parent = folder.number;
    item.type = type;
    item.id = newItemId();
    item.name = name;
    item.times = {now, now, now};
    if (type == ItemType::File)
        randomBytes(&item.nonce, sizeof item.nonce);
    folder.byName.emplace(foldedName(name), item.number);
    folder.children.push_back(item.number);
    folder.times.write = folder.times.access = now;
    ItemNumber number = item.number;
    touch(number);
    touch(folder.number);
    touch(kRoot); // the next number
    return items_.emplace(number, std::move(item)).first->second;
}

void Catalog::rename(CatalogItem& item, const std::wstring& name, const FILETIME& now) {
    CatalogItem& folder = items_.at(item.parent);
    folder.byName.erase(foldedName(item.name));
    folder.byName.emplace(foldedName(name), item.number);
    folder.times.write = folder.times.access = now;
    item.name = name;
    touch(item.number);
    touch(folder.number);
}

std::vector<ItemNumber> Catalog::remove(ItemNumber number, const FILETIME& now) {
    std::vector<ItemNumber> files;
    CatalogItem& item = items_.at(number);
    CatalogItem& folder = items_.at(item.parent);
    folder.byName.erase(foldedName(item.name));
    folder.children.erase(std::find(folder.children.begin(), folder.children.end(), number));
    folder.times.write = folder.times.access = now;
    touch(folder.number);
    std::vector<ItemNumber> pending{number};
    while (!pending.empty()) {
        ItemNumber n = pending.back();
        pending.pop_back();
        CatalogItem& gone = items_.at(n);
        if (gone.type == ItemType::File)
            files.push_back(n);
        pending.insert(pending.end(), gone.children.begin(), gone.children.end());
        items_.erase(n);
        changed_.erase(n);
        removed_.insert(n);
    }
    return files;
}

} // namespace cfx::store
