#include "folder/StorageItemId.h"

#include "common/Exceptions.h"
#include "server/ServerCall.h"

#include <oleauto.h>

#include <cstring>
#include <optional>

namespace cfx::folder {

namespace {

// Field offsets counted from the payload, the bytes after cb.
constexpr std::size_t kPayloadOffset = offsetof(StorageItemId, signature);
constexpr std::size_t kKindInPayload = offsetof(StorageItemId, kind) - kPayloadOffset;
constexpr std::size_t kSizeInPayload = offsetof(StorageItemId, size) - kPayloadOffset;
constexpr std::size_t kNameOffset = offsetof(StorageItemId, name);

// An identifier of this many bytes or fewer is foreign whatever its bytes.
constexpr std::uint16_t kLargestForeignSize = 28;

const BYTE* bytesOf(LPCITEMIDLIST id) noexcept {
    return reinterpret_cast<const BYTE*>(id);
}

// Identifiers lie at any address the list gives them, so every field is copied
// out rather than loaded through a typed pointer.
template <class T> T readAt(const BYTE* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T> void writeAt(BYTE* at, T value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

std::uint16_t cbOf(LPCITEMIDLIST id) noexcept {
    return readAt<std::uint16_t>(bytesOf(id));
}

// Make-item-id, reading the type from the server unless it is known.
void buildItemId(IStorageItem* item, std::optional<LONG> knownType, LPITEMIDLIST* out) {
    notNull(item);
    notNull(out);

    Bstr name;
    server::checkServerCall(item->GetName(name.put()), item);
    const std::size_t length = SysStringLen(name.get()); // 0 for a null BSTR
    // cb is 16 bits: a longer name would wrap it and corrupt the whole list.
    if (length > kMaxItemNameLength)
        raise(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));

    // The identifier, then the list's 16-bit terminator.
    const std::size_t cb = kStorageItemIdFixedSize + 2 * length;
    TaskMemory block(CoTaskMemAlloc(cb + sizeof(std::uint16_t)));
    if (!block)
        raise(E_OUTOFMEMORY);

    LONG type = knownType.value_or(0);
    if (!knownType)
        server::checkServerCall(item->GetType(&type), item);
    ULONGLONG size = 0;
    server::checkServerCall(item->GetSize(&size), item);

    // Zero first: the name's terminator, the two bytes cb counts after it and
    // the list terminator; identical items must be identical byte for byte.
    BYTE* bytes = static_cast<BYTE*>(block.get());
    std::memset(bytes, 0, cb + sizeof(std::uint16_t));
    writeAt(bytes, static_cast<std::uint16_t>(cb));
    writeAt(bytes + kPayloadOffset, kStorageItemIdSignature);
    writeAt(bytes + offsetof(StorageItemId, kind), static_cast<std::uint32_t>(type));
    writeAt(bytes + offsetof(StorageItemId, size), static_cast<std::uint64_t>(size));
    if (length)
        std::memcpy(bytes + kNameOffset, name.get(), length * sizeof(wchar_t));

    if (*out)
        ILFree(*out);
    *out = static_cast<LPITEMIDLIST>(block.release());
}

} // namespace

bool isOwnItem(LPCITEMIDLIST id) noexcept {
    return id && cbOf(id) > kLargestForeignSize &&
           std::memcmp(bytesOf(id) + kPayloadOffset, &kStorageItemIdSignature,
                       sizeof kStorageItemIdSignature) == 0;
}

const BYTE* itemPayload(LPCITEMIDLIST id) {
    if (!isOwnItem(id))
        raise(E_INVALIDARG);
    return bytesOf(id) + kPayloadOffset;
}

ItemKind kindOf(LPCITEMIDLIST id) {
    return static_cast<ItemKind>(readAt<std::uint32_t>(itemPayload(id) + kKindInPayload));
}

std::uint64_t sizeOf(LPCITEMIDLIST id) {
    return readAt<std::uint64_t>(itemPayload(id) + kSizeInPayload);
}

std::wstring nameOf(LPCITEMIDLIST id) {
    const BYTE* bytes = itemPayload(id) - kPayloadOffset;
    const std::size_t cb = cbOf(id);
    std::wstring name;
    for (std::size_t at = kNameOffset; at + sizeof(wchar_t) <= cb; at += sizeof(wchar_t)) {
        wchar_t unit = readAt<wchar_t>(bytes + at);
        if (unit == 0)
            break;
        name.push_back(unit);
    }
    return name;
}

bool isFolder(LPCITEMIDLIST id) {
    return isFolder(kindOf(id));
}

void makeItemId(IStorageItem* item, LPITEMIDLIST* out) {
    buildItemId(item, std::nullopt, out);
}

void makeItemId(IStorageItem* item, LONG type, LPITEMIDLIST* out) {
    buildItemId(item, type, out);
}

bool isPrefix(LPCITEMIDLIST prefix, LPCITEMIDLIST list) noexcept {
    if (!list)
        return false;
    for (; prefix && cbOf(prefix) != 0; prefix = ILGetNext(prefix), list = ILGetNext(list)) {
        const std::uint16_t cb = cbOf(prefix);
        // A cb of 1 or 2 leaves no bytes after the cb field to compare.
        const std::size_t rest = cb > sizeof cb ? cb - sizeof cb : 0;
        if (cbOf(list) != cb ||
            std::memcmp(bytesOf(prefix) + sizeof cb, bytesOf(list) + sizeof cb, rest) != 0)
            return false;
    }
    return true;
}

LPCITEMIDLIST relativePart(LPCITEMIDLIST root, LPCITEMIDLIST full) {
    if (ILIsEqual(root, full))
        return nullptr;
    if (!root || !isPrefix(root, full))
        return nullptr;
    // ILGetSize counts the root's terminator, which full does not have there.
    return reinterpret_cast<LPCITEMIDLIST>(bytesOf(full) + ILGetSize(root) - sizeof(std::uint16_t));
}

std::wstring storagePath(LPCITEMIDLIST list) {
    std::wstring path;
    bool first = true;
    for (LPCITEMIDLIST item = list; item && cbOf(item) != 0; item = ILGetNext(item)) {
        if (!first)
            path += L'\\';
        path += nameOf(item);
        first = false;
    }
    return path;
}

ItemIdList combine(LPCITEMIDLIST a, LPCITEMIDLIST b) {
    // ILCombine gives null for two null lists, and otherwise only when out of memory.
    ItemIdList result(ILCombine(a, b));
    if (!result && (a || b))
        raise(E_OUTOFMEMORY);
    return result;
}

void combineInto(LPITEMIDLIST* a, LPCITEMIDLIST b) {
    notNull(a);
    ItemIdList result = combine(*a, b);
    if (*a)
        ILFree(*a);
    *a = result.release();
}

void combineInto(ItemIdList& a, LPCITEMIDLIST b) {
    a = combine(a.get(), b);
}

LPCITEMIDLIST lastItem(LPCITEMIDLIST list) noexcept {
    return list ? ILFindLastID(list) : nullptr;
}

} // namespace cfx::folder
