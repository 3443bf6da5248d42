#include "folder/StorageFolder.h"

#include "folder/FileExtractIcon.h"
#include "folder/FolderColumns.h"
#include "folder/ItemContextMenu.h"
#include "folder/ItemComment.h"
#include "folder/ItemMenuCallback.h"
#include "folder/StorageFolderViewCallback.h"
#include "folder/StorageItemEnumerator.h"
#include "folder/StorageItemId.h"
#include "module/ClassTable.h"
#include "common/Exceptions.h"
#include "common/Variant.h"
#include "module/Module.h"
#include "server/ErrorReport.h"
#include "server/KeyTable.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "server/StorageThread.h"
#include "transfer/Clipboard.h"
#include "transfer/DataObjectHelpers.h"
#include "transfer/DropEffect.h"
#include "transfer/ItemCommands.h"
#include "transfer/StorageDataObject.h"
#include "transfer/TransferEngine.h"
#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "ui/resource.h"

#include <shlwapi.h>

#include <cstring>
#include <iterator>
#include <new>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::folder {

using namespace server;
using namespace ui;

namespace {

// SFGAO_CANCOPY | SFGAO_CANMOVE | SFGAO_CANRENAME | SFGAO_CANDELETE | SFGAO_HASPROPSHEET
constexpr SFGAOF kItemAttributes = 0x00000073;
// The same with SFGAO_DROPTARGET, SFGAO_BROWSABLE, SFGAO_FOLDER and SFGAO_HASSUBFOLDER.
constexpr SFGAOF kFolderAttributes = 0xA8000173;
// Renaming and properties take one item at a time.
constexpr SFGAOF kSingleItemOnly = SFGAO_CANRENAME | SFGAO_HASPROPSHEET;

// The message a shell browser's window answers with its IShellBrowser
// (without a reference); the SDK does not name it.
constexpr UINT kGetShellBrowser = WM_USER + 7;

// The background menu: one command, and the verbs InvokeCommand knows, by offset.
struct BackgroundCommand {
    const wchar_t* text;
    const char* verb;
    const wchar_t* wideVerb;
    const char* help;
    const wchar_t* wideHelp;
};
constexpr BackgroundCommand kBackgroundCommands[] = {
    {L"New Folder", "cfx:new_folder", L"cfx:new_folder", "Create a new folder.",
     L"Create a new folder."},
};
// "paste" is not on the menu: the shell sends it for its own Paste command.
constexpr const char* kBackgroundVerbs[] = {"cfx:new_folder", "paste"};

constexpr wchar_t kCommandFailed[] = L"Unable to complete operation";
constexpr wchar_t kRenameFailed[] = L"Unable to rename selected item";

ItemIdList cloned(LPCITEMIDLIST list) {
    ItemIdList copy(ILClone(list));
    if (list && !copy)
        raise(E_OUTOFMEMORY);
    return copy;
}

std::wstring pathOf(LPCITEMIDLIST list) {
    wchar_t path[MAX_PATH] = L"";
    if (!SHGetPathFromIDListW(list, path))
        raise(E_FAIL);
    return path;
}

void returnText(const std::wstring& text, STRRET* out) {
    out->uType = STRRET_WSTR;
    check(SHStrDupW(text.c_str(), &out->pOleStr));
}

// The user's "hide extensions for known file types", as the shell reports it.
bool extensionsHidden() {
    SHELLFLAGSTATE state{};
    SHGetSettings(&state, SSF_SHOWEXTENSIONS);
    return !state.fShowExtensions;
}

template <class Char> HRESULT copyBounded(Char* buffer, UINT size, const Char* text) {
    std::size_t length = 0;
    while (text[length])
        ++length;
    if (!buffer || length + 1 > size)
        return E_OUTOFMEMORY;
    std::memcpy(buffer, text, (length + 1) * sizeof(Char));
    return S_OK;
}

// The background menu's commands, by offset: a new folder, and paste.
void runBackgroundCommand(StorageFolder& folder, std::size_t offset) {
    if (offset == 0)
        transfer::newFolder(folder);
    else
        transfer::pasteIntoFolder(folder);
}

} // namespace

StorageFolder::StorageFolder(Placement placement) : root_(placement == Root) {
    // The shell asks for the base interfaces too; they share the derived pointers.
    addExtraInterface(IID_IShellFolder, static_cast<IShellFolder2*>(this));
    addExtraInterface(IID_IPersist, static_cast<IPersistFolder2*>(this));
    addExtraInterface(IID_IPersistFolder, static_cast<IPersistFolder2*>(this));
}

StorageFolder::StorageFolder(Placement placement, const FolderLocation& location)
    : StorageFolder(placement) {
    if (!location.rootFolder.empty())
        location_.rootFolder.resetFrom(location.rootFolder);
    location_.storageId = location.storageId;
    location_.storageFileList = cloned(location.storageFileList.get());
}

// Each step on its own: one that fails does not keep the next from running.
StorageFolder::~StorageFolder() {
    if (holdsKeyReference_) {
        try {
            KeyTable::instance().releaseReference(root_ ? storageId_ : location_.storageId);
        } catch (...) {
        }
        holdsKeyReference_ = false;
    }
    dragData_.Reset();
    ownList_.reset();
    location_.storageFileList.reset();
    viewSlot_.Reset();
    site_.Reset();
    // The server objects go on the storage thread; the storage pointers'
    // destructors then release the creating thread's proxies here.
    for (StoragePointer* kept : {&storage_, &location_.rootFolder}) {
        try {
            if (!kept->empty())
                kept->reset(nullptr);
        } catch (...) {
        }
    }
}

// --- IPersistFolder2 ----------------------------------------------------------

STDMETHODIMP StorageFolder::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_StorageFolder;
    return S_OK;
}

STDMETHODIMP StorageFolder::Initialize(PCIDLIST_ABSOLUTE list) {
    bool rootObjectMade = false;
    HRESULT hr = guarded([&] {
        bindStorageThread();
        runOnStorageThread([&] { initializeHere(list, rootObjectMade); });
    });
    // A server that cannot be reached at all is reported here, on the shell's
    // thread, with its active window as the owner.
    if (FAILED(hr) && root_ && !rootObjectMade)
        showServerNotFound(server::ownerWindow(), hr);
    return hr;
}

void StorageFolder::bindStorageThread() {
    if (bound_)
        return;
    startOrStopStorageThread(true);
    bound_ = true;
}

void StorageFolder::initializeHere(PCIDLIST_ABSOLUTE list, bool& rootObjectMade) {
    if (ownList_)
        return;
    if (!list)
        raise(E_INVALIDARG);
    ItemIdList own = cloned(list);

    if (root_) {
        const Bstr path = makeBstr(pathOf(list));
        storageId_ = GUID{};
        ComPtr<IStorageServer> server = createRoot();
        rootObjectMade = true;
        if (storageClosedToUser(path.get()))
            raise(E_ACCESSDENIED);
        ComPtr<IStorageObject> storage;
        checkServerCall(server->OpenStorage(path.get(), &storage), server.Get());
        storage_.reset(notNull(storage.Get()));
    } else {
        if (!isFolder(lastItem(list)))
            raise(E_FAIL);
        LPCITEMIDLIST below = relativePart(location_.storageFileList.get(), list);
        if (!below)
            raise(E_FAIL);
        // The whole path from the storage's root, in one call.
        const Bstr path = makeBstr(folder::storagePath(below));
        IUnknown* kept = notNull(location_.rootFolder.onStorageThread());
        ComPtr<IStorageFolder> root;
        checkServerCall(kept->QueryInterface(IID_PPV_ARGS(&root)), kept);
        ComPtr<IStorageFolder> folder;
        checkServerCall(root->OpenFolder(path.get(), VARIANT_FALSE, &folder), root.Get());
        storage_.reset(notNull(folder.Get()));
    }
    ownList_ = std::move(own);
}

STDMETHODIMP StorageFolder::GetCurFolder(PIDLIST_ABSOLUTE* list) {
    return guarded([&]() -> HRESULT {
        if (!list)
            return E_POINTER;
        *list = nullptr;
        if (!ownList_)
            return S_FALSE;
        *list = cloned(ownList_.get()).release();
        return S_OK;
    });
}

// --- IShellFolder2 ------------------------------------------------------------

STDMETHODIMP StorageFolder::ParseDisplayName(HWND, IBindCtx*, LPWSTR name, ULONG* eaten,
                                             PIDLIST_RELATIVE* list, ULONG* attributes) {
    return guarded([&]() -> HRESULT {
        if (list)
            *list = nullptr;
        if (eaten)
            *eaten = 0;
        if (!list || !name)
            return E_FAIL;

        std::vector<std::wstring> components;
        for (const wchar_t* at = name; *at;) {
            const wchar_t* end = at;
            while (*end && *end != L'\\')
                ++end;
            if (end != at)
                components.emplace_back(at, end);
            at = *end ? end + 1 : end;
        }
        if (components.empty())
            return E_FAIL;

        ComPtr<IStorageFolder> folder = folderHere();
        ItemIdList parsed;
        bool lastIsFolder = false;
        for (std::size_t i = 0; i < components.size(); ++i) {
            const Bstr component = makeBstr(components[i]);
            ComPtr<IStorageItem> item;
            checkServerCall(folder->GetItemInfo(component.get(), &item), folder.Get());
            ItemIdList id;
            makeItemId(notNull(item.Get()), id.put());
            lastIsFolder = isFolder(id.get());
            combineInto(parsed, id.get());
            // The last name may be a file: only names with more below are opened.
            if (i + 1 < components.size()) {
                ComPtr<IStorageFolder> next;
                checkServerCall(folder->OpenFolder(component.get(), VARIANT_FALSE, &next),
                                folder.Get());
                folder = notNull(next.Get());
            }
        }
        if (attributes)
            *attributes &= lastIsFolder ? kFolderAttributes : kItemAttributes;
        *list = parsed.release();
        return S_OK;
    });
}

STDMETHODIMP StorageFolder::EnumObjects(HWND, SHCONTF flags, IEnumIDList** items) {
    return guarded([&]() -> HRESULT {
        KeyTable::instance().find(storageId());
        notNull(items);
        *items = nullptr;

        ComPtr<IStorageFolder> folder = folderHere();
        ComPtr<IStorageEnum> listing;
        checkServerCall(folder->EnumItems(&listing), folder.Get());
        notNull(listing.Get());
        std::vector<ItemIdList> found;
        for (;;) {
            ComPtr<IStorageItem> item;
            checkServerCall(listing->Next(&item), listing.Get());
            if (!item)
                break;
            LONG type = 0;
            checkServerCall(item->GetType(&type), item.Get());
            const bool wanted = (type == StorageItemFolder && (flags & SHCONTF_FOLDERS)) ||
                                (type == StorageItemFile && (flags & SHCONTF_NONFOLDERS));
            if (!wanted)
                continue;
            ItemIdList id;
            makeItemId(item.Get(), type, id.put());
            found.push_back(std::move(id));
        }
        if (found.empty())
            return S_FALSE;
        OwnedObject enumerator(new StorageItemEnumerator(std::move(found)));
        return enumerator->queryInterface(IID_IEnumIDList, reinterpret_cast<void**>(items));
    });
}

STDMETHODIMP StorageFolder::BindToObject(PCUIDLIST_RELATIVE list, IBindCtx*, REFIID iid,
                                         void** out) {
    return guarded([&]() -> HRESULT {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!ownList_)
            return E_FAIL;
        {
            // Only what a storage folder is can be bound to.
            ComPtr<IUnknown> probe;
            if (FAILED(queryInterface(iid, &probe)))
                return E_NOINTERFACE;
        }
        auto* folder = new StorageFolder(SubFolder, location_);
        OwnedObject held(folder);
        if (root_) {
            folder->location_.rootFolder.resetFrom(storage_);
            folder->location_.storageFileList = cloned(ownList_.get());
            folder->location_.storageId = storageId();
        }
        ItemIdList combined = combine(ownList_.get(), list);
        const HRESULT hr = folder->Initialize(combined.get());
        if (FAILED(hr))
            return hr;
        return held->queryInterface(iid, out);
    });
}

STDMETHODIMP StorageFolder::BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void** out) {
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::CompareIDs(LPARAM parameter, PCUIDLIST_RELATIVE a,
                                       PCUIDLIST_RELATIVE b) {
    return guarded([&]() -> HRESULT {
        const std::wstring path1 = folder::storagePath(a), path2 = folder::storagePath(b);
        LPCITEMIDLIST last1 = lastItem(a), last2 = lastItem(b);
        const ItemKind kind1 = kindOf(last1), kind2 = kindOf(last2);

        int order = 0;
        if (kind1 != kind2) {
            order = isFolder(kind1) ? -1 : 1;
        } else if (parameter & 0xFFFF0000) { // SHCIDS_ALLFIELDS, SHCIDS_CANONICALONLY
            order = compareFolded(path1, path2);
        } else {
            const bool files = kind1 == ItemKind::File;
            switch (parameter & 0xFFFF) {
            case NameColumn:
                order = compareFolded(path1, path2);
                break;
            case SizeColumn:
                if (files) {
                    const std::uint64_t size1 = sizeOf(last1), size2 = sizeOf(last2);
                    order = size1 < size2 ? -1 : size1 > size2 ? 1 : 0;
                }
                break;
            case TypeColumn:
                if (files)
                    order = compareFolded(typeNameOf(nameOf(last1)), typeNameOf(nameOf(last2)));
                break;
            case CommentColumn:
                order = compareFolded(commentCellText(commentOf(nameOf(a))),
                                      commentCellText(commentOf(nameOf(b))));
                break;
            default:
                return E_INVALIDARG;
            }
        }
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, static_cast<USHORT>(static_cast<SHORT>(order)));
    });
}

STDMETHODIMP StorageFolder::CreateViewObject(HWND owner, REFIID iid, void** out) {
    return guarded([&]() -> HRESULT {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IShellView)) {
            owner_ = owner;
            if (!UnlockStorageKey(*this))
                return E_NOINTERFACE;
            ComPtr<IShellFolderViewCB> callback;
            {
                OwnedObject made(new StorageFolderViewCallback(this));
                check(made->queryInterface(IID_PPV_ARGS(&callback)));
            }
            SFV_CREATE create{sizeof create, static_cast<IShellFolder2*>(this), nullptr,
                              callback.Get()};
            check(SHCreateShellFolderView(&create, viewSlot_.ReleaseAndGetAddressOf()));
            const HRESULT hr = viewSlot_->QueryInterface(iid, out);
            viewSlot_.Reset();
            return FAILED(hr) ? hr : S_OK;
        }
        if (IsEqualIID(iid, IID_IDropTarget) || IsEqualIID(iid, IID_IContextMenu)) {
            KeyTable::instance().find(storageId());
            return queryInterface(iid, out);
        }
        return E_NOINTERFACE;
    });
}

STDMETHODIMP StorageFolder::GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY items,
                                            SFGAOF* attributes) {
    return guarded([&]() -> HRESULT {
        notNull(attributes);
        if (count && !items)
            return E_INVALIDARG;
        std::size_t folders = 0, others = 0;
        ComPtr<IStorageFolder> folder;
        for (UINT i = 0; i < count; ++i) {
            if (isFolder(items[i]))
                ++folders;
            else
                ++others;
            if (*attributes & SFGAO_VALIDATE) {
                if (!folder)
                    folder = folderHere();
                const Bstr name = makeBstr(nameOf(items[i]));
                ComPtr<IStorageItem> info;
                checkServerCall(folder->GetItemInfo(name.get(), &info), folder.Get());
            }
        }
        *attributes &= folders > 0 && others == 0 ? kFolderAttributes : kItemAttributes;
        if (count != 1)
            *attributes &= ~kSingleItemOnly;
        return S_OK;
    });
}

STDMETHODIMP StorageFolder::GetUIObjectOf(HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items,
                                          REFIID iid, UINT*, void** out) {
    return guarded([&]() -> HRESULT {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IDropTarget))
            return queryInterface(iid, out);
        if (count && !items)
            return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i)
            itemPayload(items[i]);

        if (IsEqualIID(iid, IID_IContextMenu)) {
            ItemIdList folderList = cloned(ownList_.get());
            ComPtr<IContextMenu> shellMenu;
            const HRESULT hr = CDefFolderMenu_Create2(folderList.get(), owner, count, items,
                                                      static_cast<IShellFolder2*>(this),
                                                      &itemMenuCallback, 0, nullptr, &shellMenu);
            if (FAILED(hr))
                return hr;
            // Passed through wherever the shell drives the callback (see ItemContextMenu.h).
            OwnedObject menu(new ItemContextMenu(*this, owner, count, items, shellMenu));
            return menu->queryInterface(iid, out);
        }
        if (IsEqualIID(iid, IID_IExtractIconW)) {
            if (count != 1)
                return E_FAIL;
            LPCITEMIDLIST item = lastItem(items[0]);
            return createFileExtractIcon(
                nameOf(item), isFolder(item) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL,
                iid, out);
        }
        if (IsEqualIID(iid, IID_IDataObject)) {
            KeyTable::instance().find(storageId());
            OwnedObject data(new transfer::StorageDataObject(*this, ownList_.get(), count, items));
            return data->queryInterface(iid, out);
        }
        return E_NOINTERFACE;
    });
}

STDMETHODIMP StorageFolder::GetDisplayNameOf(PCUITEMID_CHILD item, SHGDNF flags, STRRET* name) {
    return guarded([&] {
        notNull(name);
        std::wstring text = nameOf(item);
        if (flags != SHGDN_NORMAL && !(flags & (SHGDN_INFOLDER | SHGDN_FOREDITING))) {
            // The parsing and address forms: the full path through the storage file.
            LPCITEMIDLIST fileList = storageFileList();
            ItemIdList combined = combine(ownList_.get(), item);
            if (!isPrefix(fileList, combined.get()))
                raise(E_INVALIDARG);
            text = pathOf(fileList);
            if (!ILIsEqual(combined.get(), fileList))
                text += L"\\" + folder::storagePath(relativePart(fileList, combined.get()));
        }
        if (text.empty())
            raise(E_INVALIDARG);
        if (kindOf(lastItem(item)) == ItemKind::File && extensionsHidden()) {
            PathRemoveExtensionW(text.data());
            text.resize(std::wcslen(text.c_str()));
        }
        returnText(text, name);
    });
}

STDMETHODIMP StorageFolder::SetNameOf(HWND owner, PCUITEMID_CHILD item, LPCWSTR name, SHGDNF flags,
                                      PITEMID_CHILD* newItem) {
    if (newItem)
        *newItem = nullptr;
    if (flags != SHGDN_NORMAL && !(flags & (SHGDN_INFOLDER | SHGDN_FOREDITING)))
        return E_INVALIDARG;
    const HWND boxOwner = owner ? owner : ownerWindow();
    std::shared_ptr<ui::ProgressDialogHost> progress;
    try {
        const std::wstring oldName = nameOf(item);
        const bool folder = isFolder(item);
        std::wstring newName = notNull(name);
        // The user edited the name the folder showed: a file's without its
        // extension when extensions are hidden, a folder's always whole.
        if (!folder && extensionsHidden())
            newName += PathFindExtensionW(oldName.c_str());

        ui::ProgressDialogParams params;
        params.module = module::instance();
        params.kind = ui::CheckSingle;
        params.cancelDisabled = TRUE;
        params.icon = ui::IconHandle::fromResource(module::instance(), IDI_DOCUMENT);
        params.ownerWindow = boxOwner;
        params.cancelSink = this;
        params.title = L"Renaming...";
        params.line1 = L"Renaming '" + oldName + L"' to '" + newName + L"'";
        progress = ui::ProgressDialogHost::create(params);
        ui::ProgressDialog* dialog = progress ? progress->dialog() : nullptr;
        if (dialog)
            dialog->SetRange(0, 1);

        ComPtr<IStorageFolder> here = folderHere();
        const Bstr from = makeBstr(oldName), to = makeBstr(newName);
        checkServerCall(here->RenameItem(from.get(), to.get()), here.Get());
        if (dialog)
            dialog->SetPos(1);
        ComPtr<IStorageItem> info;
        checkServerCall(here->GetItemInfo(to.get(), &info), here.Get());
        ItemIdList renamed;
        makeItemId(notNull(info.Get()), renamed.put());

        ItemIdList before = combine(ownList_.get(), item);
        ItemIdList after = combine(ownList_.get(), renamed.get());
        SHChangeNotify(folder ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM, SHCNF_IDLIST | SHCNF_FLUSH,
                       before.get(), after.get());
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_IDLIST | SHCNF_FLUSH, ownList_.get(), nullptr);
        refreshView();

        if (newItem)
            *newItem = renamed.release();
        progress.reset();
        return S_OK;
    } catch (...) {
        const HRESULT hr = hresultOfCurrentException();
        progress.reset();
        showError(boxOwner, static_cast<DWORD>(hr), kRenameFailed);
        return hr;
    }
}

STDMETHODIMP StorageFolder::GetDefaultSearchGUID(GUID* guid) {
    if (guid)
        *guid = GUID_NULL;
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::EnumSearches(IEnumExtraSearch** searches) {
    if (searches)
        *searches = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::GetDefaultColumn(DWORD, ULONG* sort, ULONG* display) {
    if (!sort || !display)
        return E_POINTER;
    *sort = NameColumn;
    *display = NameColumn;
    return S_OK;
}

STDMETHODIMP StorageFolder::GetDefaultColumnState(UINT, SHCOLSTATEF* flags) {
    if (!flags)
        return E_POINTER;
    *flags = SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT;
    return S_OK;
}

STDMETHODIMP StorageFolder::GetDetailsEx(PCUITEMID_CHILD, const SHCOLUMNID*, VARIANT*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::GetDetailsOf(PCUITEMID_CHILD item, UINT column, SHELLDETAILS* details) {
    return guarded([&]() -> HRESULT {
        if (column >= kFolderColumnCount)
            return E_FAIL;
        notNull(details);
        const FolderColumn& row = kFolderColumns[column];
        details->fmt = row.format;
        details->cxChar = row.width;
        if (!item) {
            details->str.uType = STRRET_CSTR;
            return copyBounded(details->str.cStr, sizeof details->str.cStr, row.title);
        }
        std::wstring text;
        switch (column) {
        case NameColumn:
            text = nameOf(item);
            break;
        case SizeColumn:
            if (kindOf(item) == ItemKind::File)
                text = sizeText(sizeOf(item));
            break;
        case TypeColumn:
            text = isFolder(item) ? folderTypeName() : typeNameOf(nameOf(item));
            break;
        case CommentColumn:
            text = commentCellText(commentOf(nameOf(item)));
            break;
        }
        returnText(text, &details->str);
        return S_OK;
    });
}

STDMETHODIMP StorageFolder::MapColumnToSCID(UINT, SHCOLUMNID*) {
    return E_NOTIMPL;
}

// --- IContextMenu: the view's background menu -----------------------------------

STDMETHODIMP StorageFolder::QueryContextMenu(HMENU menu, UINT index, UINT first, UINT, UINT flags) {
    return guarded([&]() -> HRESULT {
        if (flags & CMF_DEFAULTONLY)
            return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0);
        for (std::size_t i = 0; i < std::size(kBackgroundCommands); ++i)
            if (!InsertMenuW(menu, index + static_cast<UINT>(i), MF_BYPOSITION,
                             first + static_cast<UINT>(i), kBackgroundCommands[i].text))
                throwLastError();
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0,
                            static_cast<USHORT>(std::size(kBackgroundCommands)));
    });
}

STDMETHODIMP StorageFolder::InvokeCommand(CMINVOKECOMMANDINFO* info) {
    return guarded([&]() -> HRESULT {
        notNull(info);
        std::size_t offset = std::size(kBackgroundVerbs);
        if (IS_INTRESOURCE(info->lpVerb)) {
            offset = LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb));
        } else {
            for (std::size_t i = 0; i < std::size(kBackgroundVerbs); ++i)
                if (std::strcmp(info->lpVerb, kBackgroundVerbs[i]) == 0)
                    offset = i;
        }
        if (offset >= std::size(kBackgroundVerbs))
            return E_NOTIMPL;
        try {
            runBackgroundCommand(*this, offset);
        } catch (...) {
            showCurrentException(ownerWindow(), kCommandFailed);
        }
        return S_OK;
    });
}

STDMETHODIMP StorageFolder::GetCommandString(UINT_PTR offset, UINT type, UINT*, CHAR* buffer,
                                             UINT size) {
    if (offset >= std::size(kBackgroundCommands))
        return E_INVALIDARG;
    const BackgroundCommand& command = kBackgroundCommands[offset];
    auto* wide = reinterpret_cast<wchar_t*>(buffer);
    switch (type) {
    case GCS_VERBA:
        return copyBounded(buffer, size, command.verb);
    case GCS_HELPTEXTA:
        return copyBounded(buffer, size, command.help);
    case GCS_VERBW:
        return copyBounded(wide, size, command.wideVerb);
    case GCS_HELPTEXTW:
        return copyBounded(wide, size, command.wideHelp);
    default:
        return S_OK;
    }
}

// --- IDropTarget: files of the computer dropped into the storage --------------------
//
// Refusal is only ever an effect: the four methods never fail.

STDMETHODIMP StorageFolder::DragEnter(IDataObject* data, DWORD keys, POINTL, DWORD* effect) {
    DWORD chosen = DROPEFFECT_NONE;
    try {
        ItemIdList parent;
        std::vector<ItemIdList> items;
        if (data && !transfer::isOwnDataObject(data) &&
            transfer::readShellIdList(data, parent, items))
            chosen = transfer::dropEffectForKeys(keys);
    } catch (...) {
    }
    if (effect)
        *effect = chosen;
    if (data != dragData_.Get())
        dragData_ = data;
    return S_OK;
}

STDMETHODIMP StorageFolder::DragOver(DWORD keys, POINTL, DWORD* effect) {
    if (effect)
        *effect = dragData_ && transfer::isOwnDataObject(dragData_.Get())
                      ? DROPEFFECT_NONE
                      : transfer::dropEffectForKeys(keys);
    return S_OK;
}

STDMETHODIMP StorageFolder::DragLeave() {
    dragData_.Reset();
    return S_OK;
}

STDMETHODIMP StorageFolder::Drop(IDataObject* data, DWORD keys, POINTL, DWORD* effect) {
    DWORD chosen = DROPEFFECT_NONE;
    if (data && !transfer::isOwnDataObject(data)) {
        chosen = transfer::dropEffectForKeys(keys);
        transfer::setDataObjectDword(data, transfer::DwordFormat::PreferredDropEffect, chosen);
        transfer::importDataObject(*this, ownerWindow(), data, &chosen);
    }
    if (effect)
        *effect = chosen;
    dragData_.Reset();
    return S_OK;
}

// --- IObjectWithSite --------------------------------------------------------------

STDMETHODIMP StorageFolder::SetSite(IUnknown* site) {
    site_ = site;
    return S_OK;
}

STDMETHODIMP StorageFolder::GetSite(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!site_)
        return E_NOINTERFACE;
    return site_->QueryInterface(iid, out);
}

// --- What the folder's operations share -------------------------------------------

HWND StorageFolder::ownerWindow() {
    if (owner_)
        return owner_;
    HWND window = nullptr;
    if (site_)
        if (ComPtr<IShellBrowser> browser = shellBrowser())
            browser->GetWindow(&window);
    return window;
}

GUID StorageFolder::storageId() {
    if (!root_)
        return location_.storageId;
    if (storageId_ == GUID{}) {
        // Read on the storage thread, once.
        runOnStorageThread([&] {
            IUnknown* kept = storage_.onStorageThread();
            if (!kept)
                raise(E_NOINTERFACE);
            ComPtr<IStorageObject> storage;
            checkServerCall(kept->QueryInterface(IID_PPV_ARGS(&storage)), kept);
            storageId_ = readStorageId(storage.Get());
        });
    }
    return storageId_;
}

ComPtr<IStorageFolder> StorageFolder::rootFolder() {
    return root_ ? storage_.folderForThisThread() : location_.rootFolder.folderForThisThread();
}

std::wstring StorageFolder::storagePath() {
    return pathOf(storageFileList());
}

LPCITEMIDLIST StorageFolder::storageFileList() const noexcept {
    return root_ ? ownList_.get() : location_.storageFileList.get();
}

ComPtr<IStorageFolder> StorageFolder::folderHere() {
    ComPtr<IStorageFolder> folder = storage_.folderForThisThread();
    notNull(folder.Get());
    return folder;
}

ComPtr<IShellBrowser> StorageFolder::shellBrowser() {
    ComPtr<IShellBrowser> browser;
    if (site_) {
        ComPtr<IServiceProvider> services;
        if (SUCCEEDED(site_.As(&services)))
            services->QueryService(SID_SShellBrowser, IID_PPV_ARGS(&browser));
    } else if (owner_) {
        // The window's answer carries no reference of its own.
        browser = reinterpret_cast<IShellBrowser*>(SendMessageW(owner_, kGetShellBrowser, 0, 0));
    }
    return browser;
}

ComPtr<IShellView> StorageFolder::activeView() {
    ComPtr<IShellBrowser> browser = shellBrowser();
    ComPtr<IShellView> view;
    if (browser)
        browser->QueryActiveShellView(&view);
    return view;
}

void StorageFolder::openItem(IDataObject* selection) {
    ItemIdList parent;
    std::vector<ItemIdList> items;
    if (!transfer::readShellIdList(selection, parent, items) || items.size() != 1)
        return;
    if (ComPtr<IShellBrowser> browser = shellBrowser())
        browser->BrowseObject(items[0].get(), SBSP_SAMEBROWSER | SBSP_RELATIVE);
}

void StorageFolder::refreshView() {
    ComPtr<IShellBrowser> browser = shellBrowser();
    ComPtr<IShellView> view;
    if (browser && SUCCEEDED(browser->QueryActiveShellView(&view)) && view)
        view->Refresh();
}

ComPtr<IStorageObject> StorageFolder::itemHere(const std::wstring& name) {
    ComPtr<IStorageFolder> folder = folderHere();
    const Bstr itemName = makeBstr(name);
    ComPtr<IStorageObject> item;
    checkServerCall(folder->GetItem(itemName.get(), &item), folder.Get());
    return ComPtr<IStorageObject>(notNull(item.Get()));
}

std::wstring StorageFolder::commentOf(const std::wstring& name) {
    return readComment(itemHere(name).Get(), storageId());
}

} // namespace cfx::folder
