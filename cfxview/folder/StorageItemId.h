// The library's own item identifier: the SHITEMID that names a folder or file
// inside a storage, and the item identifier list operations built on it.
// Every other file reads and writes identifiers only through these functions.
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <shlobj.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cfxstorage.h"

namespace cfx::folder {

using ItemIdList = UniqueHandle<LPITEMIDLIST, &ILFree>;

// The kind field holds the server's item type as it came; values other than
// these two can occur in identifiers and are treated as files.
enum class ItemKind : std::uint32_t { Folder = 1, File = 2 };

// The layout as it lies in an item identifier list. An identifier starts at
// any even address, so code never reads kind or size through this struct.
#pragma pack(push, 1)
struct StorageItemId {
    std::uint16_t cb;
    GUID signature;
    std::uint32_t kind;
    std::uint64_t size;
    // The name's code units and a 0 terminator, then two zero bytes that cb
    // counts: cb = 34 + 2 * name length.
    wchar_t name[1];
};
#pragma pack(pop)

static_assert(offsetof(StorageItemId, signature) == 2);
static_assert(offsetof(StorageItemId, kind) == 18);
static_assert(offsetof(StorageItemId, size) == 22);
static_assert(offsetof(StorageItemId, name) == 30);

// {5D0C3A9E-71B4-4F28-9C6A-E3B7F1042D95}: marks an identifier as ours.
inline constexpr GUID kStorageItemIdSignature = {
    0x5D0C3A9E, 0x71B4, 0x4F28, {0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95}};

// cb of an identifier with an empty name.
inline constexpr std::size_t kStorageItemIdFixedSize = 34;

// cb is 16 bits, so 34 + 2n must stay at or below 65 534.
inline constexpr std::size_t kMaxItemNameLength = 32750;

// True when the first identifier of the list is ours: cb greater than 28 and
// the signature in place. Nothing else is checked. A null pointer is not ours.
bool isOwnItem(LPCITEMIDLIST id) noexcept;

// The identifier's bytes from offset 2; raises E_INVALIDARG for a foreign one.
const BYTE* itemPayload(LPCITEMIDLIST id);

ItemKind kindOf(LPCITEMIDLIST id);
std::uint64_t sizeOf(LPCITEMIDLIST id);

// The name up to its terminator, read no further than the identifier's own cb:
// a malformed cb can then not lead the read into the next identifier.
std::wstring nameOf(LPCITEMIDLIST id);

// Kind 1 is a folder; every other kind is a file.
inline bool isFolder(ItemKind kind) noexcept {
    return kind == ItemKind::Folder;
}
bool isFolder(LPCITEMIDLIST id);

// A single-identifier list for a server item, in one CoTaskMemAlloc block.
// On success a list *out held before is freed with ILFree; on failure *out is
// left as it was. Server failures raise _com_error with the server's error
// information; a name longer than kMaxItemNameLength raises
// HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) rather than wrap cb.
void makeItemId(IStorageItem* item, LPITEMIDLIST* out);
// The same for an item whose type the caller has already read, so that a
// listing asks the server for it once per item.
void makeItemId(IStorageItem* item, LONG type, LPITEMIDLIST* out);

// True when every identifier of prefix equals, byte for byte (cb included),
// the identifier at the same position of list. A null prefix is the empty
// list; a null list is never a match.
bool isPrefix(LPCITEMIDLIST prefix, LPCITEMIDLIST list) noexcept;

// The part of full below root, pointing into full (not a copy); null when the
// shell finds the lists equal, when root is null or when it is not a prefix.
LPCITEMIDLIST relativePart(LPCITEMIDLIST root, LPCITEMIDLIST full);

// The names of the list's identifiers joined with "\"; every identifier must
// be ours. A null or empty list gives the empty string.
std::wstring storagePath(LPCITEMIDLIST list);

// A new list: a's identifiers followed by b's. Raises E_OUTOFMEMORY.
ItemIdList combine(LPCITEMIDLIST a, LPCITEMIDLIST b);

// Replaces *a by a followed by b and frees the old *a; on failure *a is kept.
void combineInto(LPITEMIDLIST* a, LPCITEMIDLIST b);
void combineInto(ItemIdList& a, LPCITEMIDLIST b);

// The last identifier of a list (the list itself when it is empty); its kind
// decides whether the list names a folder or a file. Null for a null list.
LPCITEMIDLIST lastItem(LPCITEMIDLIST list) noexcept;

} // namespace cfx::folder
