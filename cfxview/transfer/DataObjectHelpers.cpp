#include "transfer/DataObjectHelpers.h"

#include "common/Exceptions.h"
#include "common/Handles.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <cstring>
#include <iterator>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

namespace {

// Indexed by DwordFormat.
constexpr const wchar_t* kDwordFormatNames[] = {
    L"Performed DropEffect", L"Preferred DropEffect", L"Paste Succeeded",
    L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C18}", // the storage folder's CLSID
};
static_assert(std::size(kDwordFormatNames) == 4);

// Releases a medium GetData filled.
struct HeldMedium {
    STGMEDIUM medium{};
    ~HeldMedium() { ReleaseStgMedium(&medium); }
};

// Holds GlobalLock for a scope; data() is null when the lock failed.
class GlobalLockHeld {
public:
    explicit GlobalLockHeld(HGLOBAL block) noexcept : block_(block), data_(GlobalLock(block)) {}
    ~GlobalLockHeld() {
        if (data_)
            GlobalUnlock(block_);
    }
    GlobalLockHeld(const GlobalLockHeld&) = delete;
    GlobalLockHeld& operator=(const GlobalLockHeld&) = delete;
    BYTE* data() const noexcept { return static_cast<BYTE*>(data_); }

private:
    HGLOBAL block_;
    void* data_;
};

// The size of the item list at list, or 0 when it runs past end (its closing
// zero included).
std::size_t boundedListSize(const BYTE* list, const BYTE* end) noexcept {
    const BYTE* at = list;
    for (;;) {
        if (end - at < 2)
            return 0;
        USHORT cb = 0;
        std::memcpy(&cb, at, sizeof cb);
        if (cb == 0)
            return static_cast<std::size_t>(at + 2 - list);
        if (cb < 2 || end - at < cb)
            return 0;
        at += cb;
    }
}

folder::ItemIdList copiedList(const BYTE* list) {
    folder::ItemIdList copy(ILClone(reinterpret_cast<LPCITEMIDLIST>(list)));
    if (!copy)
        raise(E_OUTOFMEMORY);
    return copy;
}

} // namespace

UINT dwordFormatId(DwordFormat format) noexcept {
    return RegisterClipboardFormatW(kDwordFormatNames[static_cast<std::size_t>(format)]);
}

bool setDataObjectDword(IDataObject* data, DwordFormat format, DWORD value) noexcept {
    const UINT id = dwordFormatId(format);
    if (!data || !id)
        return false;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof value);
    if (!block)
        return false;
    {
        GlobalLockHeld held(block);
        if (!held.data()) {
            GlobalFree(block);
            return false;
        }
        std::memcpy(held.data(), &value, sizeof value);
    }
    FORMATETC etc{static_cast<CLIPFORMAT>(id), nullptr, DVASPECT_CONTENT, 1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    if (SUCCEEDED(data->SetData(&etc, &medium, TRUE)))
        return true;
    // A refused medium stays the caller's.
    GlobalFree(block);
    return false;
}

bool getDataObjectDword(IDataObject* data, DwordFormat format, DWORD& value) noexcept {
    const UINT id = dwordFormatId(format);
    if (!data || !id)
        return false;
    FORMATETC etc{static_cast<CLIPFORMAT>(id), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    HeldMedium held;
    if (FAILED(data->GetData(&etc, &held.medium)) || held.medium.tymed != TYMED_HGLOBAL)
        return false;
    if (GlobalSize(held.medium.hGlobal) < sizeof value)
        return false;
    GlobalLockHeld lock(held.medium.hGlobal);
    if (!lock.data())
        return false;
    std::memcpy(&value, lock.data(), sizeof value);
    return true;
}

bool isOwnDataObject(IDataObject* data) noexcept {
    DWORD marker = 0;
    return getDataObjectDword(data, DwordFormat::OwnObjectMarker, marker) && marker == 1;
}

bool readShellIdList(IDataObject* data, folder::ItemIdList& parent,
                     std::vector<folder::ItemIdList>& items) {
    parent.reset();
    items.clear();
    const UINT id = RegisterClipboardFormatW(CFSTR_SHELLIDLIST);
    if (!data || !id)
        return false;
    FORMATETC etc{static_cast<CLIPFORMAT>(id), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    HeldMedium held;
    if (FAILED(data->GetData(&etc, &held.medium)) || held.medium.tymed != TYMED_HGLOBAL)
        return false;
    const std::size_t size = GlobalSize(held.medium.hGlobal);
    GlobalLockHeld lock(held.medium.hGlobal);
    const BYTE* block = lock.data();
    if (!block || size < sizeof(UINT))
        return false;
    const BYTE* end = block + size;
    UINT count = 0;
    std::memcpy(&count, block, sizeof count);
    if ((size - sizeof(UINT)) / sizeof(UINT) < std::size_t{count} + 1)
        return false;

    // Every offset and every list is checked against the block before one is copied.
    std::vector<const BYTE*> lists;
    for (UINT i = 0; i <= count; ++i) {
        UINT offset = 0;
        std::memcpy(&offset, block + sizeof(UINT) * (i + 1), sizeof offset);
        if (offset >= size || boundedListSize(block + offset, end) == 0)
            return false;
        lists.push_back(block + offset);
    }
    folder::ItemIdList readParent = copiedList(lists[0]);
    std::vector<folder::ItemIdList> readItems;
    for (UINT i = 1; i <= count; ++i)
        readItems.push_back(copiedList(lists[i]));
    parent = std::move(readParent);
    items = std::move(readItems);
    return true;
}

std::size_t shellIdListToPaths(LPCITEMIDLIST parent, const std::vector<folder::ItemIdList>& items,
                               std::vector<std::wstring>& paths) {
    wchar_t parentPath[MAX_PATH] = L"";
    if (!parent || !SHGetPathFromIDListW(parent, parentPath))
        raise(E_FAIL);
    folder::ItemIdList parsed(ILCreateFromPathW(parentPath));
    if (!parsed)
        raise(E_OUTOFMEMORY);
    ComPtr<IShellFolder> above;
    LPCITEMIDLIST last = nullptr;
    check(SHBindToParent(parsed.get(), IID_PPV_ARGS(&above), &last));
    ComPtr<IShellFolder> folder;
    check(above->BindToObject(last, nullptr, IID_PPV_ARGS(&folder)));

    std::vector<std::wstring> found;
    for (const folder::ItemIdList& item : items) {
        STRRET name{};
        check(folder->GetDisplayNameOf(item.get(), SHGDN_FORPARSING, &name));
        if (name.uType != STRRET_WSTR)
            raise(E_INVALIDARG);
        TaskMemory text(name.pOleStr);
        found.emplace_back(name.pOleStr);
    }
    paths.insert(paths.end(), found.begin(), found.end());
    return found.size();
}

} // namespace cfx::transfer
