#include "transfer/StorageDataObject.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Variant.h"
#include "folder/StorageFolder.h"
#include "server/ServerCall.h"
#include "transfer/DataObjectHelpers.h"
#include "transfer/FormatEnumerator.h"
#include "transfer/ItemDeletion.h"
#include "transfer/StorageFileStream.h"

#include <cstring>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

using server::checkServerCall;

// A record of the descriptor block, as drop targets read it.
static_assert(sizeof(FILEDESCRIPTORW) == 592);
static_assert(offsetof(FILEDESCRIPTORW, dwFileAttributes) == 36);
static_assert(offsetof(FILEDESCRIPTORW, nFileSizeHigh) == 64);
static_assert(offsetof(FILEDESCRIPTORW, cFileName) == 72);

namespace {

// FD_ATTRIBUTES | FD_CREATETIME | FD_ACCESSTIME | FD_WRITESTIME | FD_PROGRESSUI,
// and FD_FILESIZE for a file.
constexpr DWORD kFolderDescriptorFlags = 0x403C;
constexpr DWORD kFileDescriptorFlags = 0x407C;

// Registered on the first construction, never again; 0 when the registration failed.
struct CachedFormats {
    UINT fileContents = 0;
    UINT fileGroupDescriptor = 0;
    UINT performedDropEffect = 0;
    UINT pasteSucceeded = 0;
};
CachedFormats g_formats;
bool g_formatsRegistered = false;

void registerFormats() {
    if (g_formatsRegistered)
        return;
    g_formats.fileContents = RegisterClipboardFormatW(CFSTR_FILECONTENTS);
    g_formats.fileGroupDescriptor = RegisterClipboardFormatW(CFSTR_FILEDESCRIPTORW);
    g_formats.performedDropEffect = dwordFormatId(DwordFormat::PerformedDropEffect);
    g_formats.pasteSucceeded = dwordFormatId(DwordFormat::PasteSucceeded);
    g_formatsRegistered = true;
}

bool is(UINT cached, CLIPFORMAT format) noexcept {
    return cached != 0 && cached == format;
}

std::wstring nameOf(IStorageItem* item) {
    BSTR name = nullptr;
    checkServerCall(item->GetName(&name), item);
    Bstr held(name);
    return fromBstr(name);
}

folder::ItemIdList cloned(LPCITEMIDLIST list) {
    folder::ItemIdList copy(ILClone(list));
    if (!copy)
        raise(E_OUTOFMEMORY);
    return copy;
}

HGLOBAL copyOfBlock(HGLOBAL block) {
    const SIZE_T size = GlobalSize(block);
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!copy)
        return nullptr;
    const void* from = GlobalLock(block);
    void* to = GlobalLock(copy);
    if (from && to)
        std::memcpy(to, from, size);
    if (from)
        GlobalUnlock(block);
    if (to)
        GlobalUnlock(copy);
    if (!from || !to) {
        GlobalFree(copy);
        return nullptr;
    }
    return copy;
}

} // namespace

StorageDataObject::StorageDataObject(folder::StorageFolder& folder, LPCITEMIDLIST folderList,
                                     UINT count, PCUITEMID_CHILD_ARRAY items)
    : folder_(folder) {
    folder_.addRef();
    try {
        for (UINT i = 0; i < count; ++i)
            items_.push_back(cloned(items[i]));
        folderList_ = cloned(folderList);
        registerFormats();
        std::vector<LPCITEMIDLIST> lists;
        for (const folder::ItemIdList& item : items_)
            lists.push_back(item.get());
        check(CIDLData_CreateFromIDArray(folderList_.get(), count, lists.data(), &inner_));
        notNull(inner_.Get());
        setDataObjectDword(this, DwordFormat::OwnObjectMarker, 1);
    } catch (...) {
        folder_.release();
        throw;
    }
}

StorageDataObject::~StorageDataObject() {
    folder_.release();
    descriptors_.clear();
    inner_.Reset();
    folderList_.reset();
    items_.clear();
    for (auto& [format, block] : kept_)
        GlobalFree(block);
}

IDataObject* StorageDataObject::inner() {
    return notNull(inner_.Get());
}

// --- IDataObject ------------------------------------------------------------------

STDMETHODIMP StorageDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
    return guarded([&]() -> HRESULT {
        notNull(format);
        notNull(medium);
        const HRESULT forwarded = inner()->GetData(format, medium);
        if (SUCCEEDED(forwarded))
            return forwarded;
        if (SUCCEEDED(keptData(*format, medium)))
            return S_OK;
        if (is(g_formats.fileContents, format->cfFormat)) {
            if (format->dwAspect != DVASPECT_CONTENT)
                return DV_E_DVASPECT;
            if (!(format->tymed & TYMED_ISTREAM))
                return DV_E_TYMED;
            return fileContents(format->lindex, medium);
        }
        if (is(g_formats.fileGroupDescriptor, format->cfFormat)) {
            if (format->dwAspect != DVASPECT_CONTENT)
                return DV_E_DVASPECT;
            if (!(format->tymed & TYMED_HGLOBAL))
                return DV_E_TYMED;
            return fileGroupDescriptor(medium);
        }
        return DV_E_FORMATETC;
    });
}

STDMETHODIMP StorageDataObject::GetDataHere(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageDataObject::QueryGetData(FORMATETC* format) {
    return guarded([&]() -> HRESULT {
        notNull(format);
        // Only S_OK counts: Wine's shell data object answers S_FALSE for a
        // format it does not have, where Windows' answers a failure.
        const HRESULT forwarded = inner()->QueryGetData(format);
        if (forwarded == S_OK)
            return forwarded;
        if (kept_.count(format->cfFormat) && (format->tymed & TYMED_HGLOBAL))
            return S_OK;
        if (is(g_formats.fileContents, format->cfFormat)) {
            if (!(format->dwAspect & DVASPECT_CONTENT))
                return DV_E_DVASPECT;
            return (format->tymed & TYMED_ISTREAM) ? S_OK : DV_E_TYMED;
        }
        if (is(g_formats.fileGroupDescriptor, format->cfFormat)) {
            if (format->dwAspect != DVASPECT_CONTENT)
                return DV_E_DVASPECT;
            return (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_TYMED;
        }
        return DV_E_FORMATETC;
    });
}

STDMETHODIMP StorageDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) {
    return guarded([&]() -> HRESULT {
        notNull(format);
        notNull(medium);
        IDataObject* shell = inner();
        // A drop target that pulled the files reports a move: the items go.
        if (is(g_formats.performedDropEffect, format->cfFormat) && medium->tymed == TYMED_HGLOBAL &&
            !descriptors_.empty()) {
            DWORD effect = 0;
            if (void* value = GlobalLock(medium->hGlobal)) {
                std::memcpy(&effect, value, sizeof effect);
                GlobalUnlock(medium->hGlobal);
                if (effect == DROPEFFECT_MOVE) {
                    try {
                        deleteItems(folder_, folder_.ownerWindow(), shell, false);
                    } catch (...) {
                        // The deletion reports what it can; the formats are kept either way.
                    }
                    descriptors_.clear();
                }
            }
        }
        const HRESULT hr = shell->SetData(format, medium, release);
        if (hr == E_NOTIMPL && keepData(*format, *medium)) {
            if (release)
                ReleaseStgMedium(medium);
            return S_OK;
        }
        return hr;
    });
}

STDMETHODIMP StorageDataObject::EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) {
    return guarded([&]() -> HRESULT {
        notNull(formats);
        *formats = nullptr;
        std::vector<FORMATETC> list;
        ComPtr<IEnumFORMATETC> shell;
        if (SUCCEEDED(inner()->EnumFormatEtc(direction, &shell)) && shell)
            for (FORMATETC format; shell->Next(1, &format, nullptr) == S_OK;)
                list.push_back(format);
        auto add = [&](UINT id, LONG index, DWORD medium) {
            if (id)
                list.push_back(
                    {static_cast<CLIPFORMAT>(id), nullptr, DVASPECT_CONTENT, index, medium});
        };
        if (direction == DATADIR_GET) {
            for (const auto& [format, block] : kept_)
                add(format, -1, TYMED_HGLOBAL);
            add(g_formats.fileContents, 0, TYMED_ISTREAM);
            add(g_formats.fileGroupDescriptor, -1, TYMED_HGLOBAL);
        } else {
            add(g_formats.performedDropEffect, 0, TYMED_HGLOBAL);
            add(g_formats.pasteSucceeded, 0, TYMED_HGLOBAL);
        }
        OwnedObject enumerator(new FormatEnumerator(std::move(list)));
        check(enumerator->queryInterface(IID_IEnumFORMATETC, reinterpret_cast<void**>(formats)));
        return S_OK;
    });
}

STDMETHODIMP StorageDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageDataObject::DUnadvise(DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageDataObject::EnumDAdvise(IEnumSTATDATA**) {
    return E_NOTIMPL;
}

// --- IAsyncOperation ----------------------------------------------------------------

namespace {

HRESULT answerFlag(BOOL flag, BOOL* answer) {
    if (!answer)
        return E_POINTER;
    *answer = flag;
    return S_OK;
}

} // namespace

STDMETHODIMP StorageDataObject::SetAsyncMode(BOOL async) {
    asyncMode_ = async;
    return S_OK;
}
STDMETHODIMP StorageDataObject::GetAsyncMode(BOOL* async) {
    return answerFlag(asyncMode_, async);
}
STDMETHODIMP StorageDataObject::StartOperation(IBindCtx*) {
    inOperation_ = TRUE;
    return S_OK;
}
STDMETHODIMP StorageDataObject::InOperation(BOOL* inOperation) {
    return answerFlag(inOperation_, inOperation);
}
STDMETHODIMP StorageDataObject::EndOperation(HRESULT, IBindCtx*, DWORD) {
    inOperation_ = FALSE;
    return S_OK;
}

// --- The virtual files ----------------------------------------------------------------

HRESULT StorageDataObject::fileGroupDescriptor(STGMEDIUM* medium) {
    if (descriptors_.empty()) {
        ComPtr<IStorageFolder> here = folder_.folderHere();
        std::vector<FILEDESCRIPTORW> built;
        descriptors_.swap(built);
        try {
            for (const folder::ItemIdList& item : items_) {
                const Bstr name = makeBstr(folder::nameOf(folder::lastItem(item.get())));
                ComPtr<IStorageItem> info;
                checkServerCall(here->GetItemInfo(name.get(), &info), here.Get());
                describe(here.Get(), notNull(info.Get()), L"");
            }
        } catch (...) {
            descriptors_.clear();
            throw;
        }
    }
    const std::size_t count = descriptors_.size();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof(UINT) + count * sizeof(FILEDESCRIPTORW));
    if (!block)
        return E_OUTOFMEMORY;
    auto* bytes = static_cast<BYTE*>(GlobalLock(block));
    if (!bytes) {
        GlobalFree(block);
        return E_OUTOFMEMORY;
    }
    const UINT n = static_cast<UINT>(count);
    std::memcpy(bytes, &n, sizeof n);
    std::memcpy(bytes + sizeof n, descriptors_.data(), count * sizeof(FILEDESCRIPTORW));
    GlobalUnlock(block);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

FILEDESCRIPTORW fileDescriptorOf(IStorageItem* item, const std::wstring& prefix) {
    LONG type = 0;
    checkServerCall(item->GetType(&type), item);
    if (type != StorageItemFolder && type != StorageItemFile)
        raise(E_INVALIDARG);
    const std::wstring name = nameOf(item);
    const std::wstring path = prefix.empty() ? name : prefix + L"\\" + name;
    if (path.size() >= MAX_PATH)
        raise(E_OUTOFMEMORY);
    ItemTimes times{};
    checkServerCall(item->GetTimes(&times), item);

    FILEDESCRIPTORW record{};
    record.ftCreationTime = times.creation;
    record.ftLastAccessTime = times.access;
    record.ftLastWriteTime = times.write;
    std::memcpy(record.cFileName, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    if (type == StorageItemFolder) {
        record.dwFlags = kFolderDescriptorFlags;
        record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        return record;
    }
    ULONGLONG size = 0;
    checkServerCall(item->GetSize(&size), item);
    record.dwFlags = kFileDescriptorFlags;
    record.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(size);
    return record;
}

// Depth first, pre-order: a folder's record comes before its contents'.
void StorageDataObject::describe(IStorageFolder* parent, IStorageItem* item,
                                 const std::wstring& prefix) {
    const FILEDESCRIPTORW record = fileDescriptorOf(item, prefix);
    descriptors_.push_back(record);
    if (!(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    const Bstr folderName = makeBstr(nameOf(item));
    ComPtr<IStorageFolder> opened;
    checkServerCall(parent->OpenFolder(folderName.get(), VARIANT_FALSE, &opened), parent);
    notNull(opened.Get());
    ComPtr<IStorageEnum> listing;
    checkServerCall(opened->EnumItems(&listing), opened.Get());
    notNull(listing.Get());
    for (;;) {
        ComPtr<IStorageItem> child;
        checkServerCall(listing->Next(&child), listing.Get());
        if (!child)
            break;
        describe(opened.Get(), child.Get(), record.cFileName);
    }
}

HRESULT StorageDataObject::fileContents(LONG index, STGMEDIUM* medium) {
    if (index < 0 || static_cast<std::size_t>(index) >= descriptors_.size())
        return DV_E_LINDEX;
    // The server opens files by name in their own folder: the folders of the
    // relative path are opened first, in one call.
    const std::wstring path = descriptors_[static_cast<std::size_t>(index)].cFileName;
    const std::size_t slash = path.rfind(L'\\');
    ComPtr<IStorageFolder> here = folder_.folderHere();
    if (slash != std::wstring::npos) {
        const Bstr folderPath = makeBstr(path.substr(0, slash));
        ComPtr<IStorageFolder> below;
        checkServerCall(here->OpenFolder(folderPath.get(), VARIANT_FALSE, &below), here.Get());
        here = notNull(below.Get());
    }
    const Bstr name = makeBstr(path.substr(slash + 1));
    ComPtr<IStorageFile> file;
    checkServerCall(here->OpenFile(name.get(), VARIANT_FALSE, &file), here.Get());
    if (!file)
        return STG_E_FILENOTFOUND;
    ComPtr<IStream> stream;
    checkServerCall(file->OpenStream(&stream), file.Get());
    medium->tymed = TYMED_ISTREAM;
    medium->pstm = StorageFileStream::wrap(notNull(stream.Detach()));
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

// --- Wine: the shell's data object takes no data -----------------------------------------
//
// Wine 8's shell data object answers E_NOTIMPL to SetData, so the own-object
// marker and the drop effects would be lost. This object then keeps an HGLOBAL
// medium itself and serves it after the shell's formats; on Windows the shell
// takes it and nothing is kept here.

bool StorageDataObject::keepData(const FORMATETC& format, const STGMEDIUM& medium) {
    if (format.tymed != TYMED_HGLOBAL || medium.tymed != TYMED_HGLOBAL || !medium.hGlobal)
        return false;
    HGLOBAL copy = copyOfBlock(medium.hGlobal);
    if (!copy)
        return false;
    HGLOBAL& slot = kept_[format.cfFormat];
    if (slot)
        GlobalFree(slot);
    slot = copy;
    return true;
}

HRESULT StorageDataObject::keptData(const FORMATETC& format, STGMEDIUM* medium) const {
    const auto found = kept_.find(format.cfFormat);
    if (found == kept_.end() || !(format.tymed & TYMED_HGLOBAL))
        return DV_E_FORMATETC;
    HGLOBAL copy = copyOfBlock(found->second);
    if (!copy)
        return E_OUTOFMEMORY;
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = copy;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

} // namespace cfx::transfer
