// The shell namespace folder of a storage: the root made by the class factory
// for a storage file, and one more for every folder opened inside it. It turns
// the shell's folder calls into calls on the storage server's folder objects,
// names items with StorageItemId, and makes the view, the enumerator and the
// item objects. Its IContextMenu is the view's background menu.
#pragma once

#include "common/ComObjectBase.h"
#include "common/Handles.h"
#include "folder/StorageItemId.h"
#include "server/StoragePointer.h"
#include "server/StorageUnlock.h"
#include "ui/CancelSink.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <string>

namespace cfx::folder {

class StorageFolder final
    : public ComObject<IContextMenu, IPersistFolder2, IShellFolder2, IDropTarget, IObjectWithSite>,
      private server::UnlockSite,
      private ui::CancelSink {
public:
    enum Placement { Root, SubFolder };
    explicit StorageFolder(Placement placement);
    ~StorageFolder() override;

    // For the item commands: the first command id of the last item-menu
    // merge; the Open command (the selection's one item shown in the same
    // window); the storage's Id, under which the key table holds its key; the
    // view the folder shows in (its shell browser's active view, or null).
    void rememberFirstCommand(UINT first) noexcept { firstCommand_ = first; }
    void openItem(IDataObject* selection);
    GUID storageKeyId() { return storageId(); }
    Microsoft::WRL::ComPtr<IShellView> activeView();

    // IContextMenu: the background menu of the folder's view.
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first, UINT last,
                                  UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* name,
                                  UINT size) override;

    // IPersistFolder2
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE pidl) override;
    STDMETHODIMP GetCurFolder(PIDLIST_ABSOLUTE* pidl) override;

    // IShellFolder2
    STDMETHODIMP ParseDisplayName(HWND owner, IBindCtx* bind, LPWSTR name, ULONG* eaten,
                                  PIDLIST_RELATIVE* pidl, ULONG* attributes) override;
    STDMETHODIMP EnumObjects(HWND owner, SHCONTF flags, IEnumIDList** items) override;
    STDMETHODIMP BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx* bind, REFIID iid,
                              void** out) override;
    STDMETHODIMP BindToStorage(PCUIDLIST_RELATIVE pidl, IBindCtx* bind, REFIID iid,
                               void** out) override;
    STDMETHODIMP CompareIDs(LPARAM column, PCUIDLIST_RELATIVE a, PCUIDLIST_RELATIVE b) override;
    STDMETHODIMP CreateViewObject(HWND owner, REFIID iid, void** out) override;
    STDMETHODIMP GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY items,
                                 SFGAOF* attributes) override;
    STDMETHODIMP GetUIObjectOf(HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items, REFIID iid,
                               UINT* reserved, void** out) override;
    STDMETHODIMP GetDisplayNameOf(PCUITEMID_CHILD item, SHGDNF flags, STRRET* name) override;
    STDMETHODIMP SetNameOf(HWND owner, PCUITEMID_CHILD item, LPCWSTR name, SHGDNF flags,
                           PITEMID_CHILD* newItem) override;
    STDMETHODIMP GetDefaultSearchGUID(GUID* guid) override;
    STDMETHODIMP EnumSearches(IEnumExtraSearch** searches) override;
    STDMETHODIMP GetDefaultColumn(DWORD reserved, ULONG* sort, ULONG* display) override;
    STDMETHODIMP GetDefaultColumnState(UINT column, SHCOLSTATEF* flags) override;
    STDMETHODIMP GetDetailsEx(PCUITEMID_CHILD item, const SHCOLUMNID* column,
                              VARIANT* value) override;
    STDMETHODIMP GetDetailsOf(PCUITEMID_CHILD item, UINT column, SHELLDETAILS* details) override;
    STDMETHODIMP MapColumnToSCID(UINT column, SHCOLUMNID* id) override;

    // IDropTarget
    STDMETHODIMP DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    STDMETHODIMP DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    STDMETHODIMP DragLeave() override;
    STDMETHODIMP Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID iid, void** out) override;

    // The list the view follows: the folder's own absolute list (not a copy).
    LPCITEMIDLIST ownList() const noexcept { return ownList_.get(); }

    // The owner of the folder's boxes and dialogs: the window given to
    // CreateViewObject, else the site's shell browser window, else none.
    HWND ownerWindow() override;

    // What transfers and item commands use the folder for: its IStorageFolder
    // for the calling thread (none: E_POINTER), the refresh of its view, and
    // the cancel sink its progress dialogs are given (it does nothing: a
    // cancel is seen through the dialog's flag).
    Microsoft::WRL::ComPtr<IStorageFolder> folderHere();
    void refreshView();
    ui::CancelSink* cancelSink() noexcept { return this; }

private:
    // Where a sub-folder lies: the storage's root folder, the storage's Id and
    // the storage file's own absolute list. Empty for the root.
    struct FolderLocation {
        server::StoragePointer rootFolder;
        GUID storageId{};
        ItemIdList storageFileList;
    };

    StorageFolder(Placement placement, const FolderLocation& location);

    // UnlockSite
    GUID storageId() override;
    Microsoft::WRL::ComPtr<IStorageFolder> rootFolder() override;
    std::wstring storagePath() override;
    bool isStorageRoot() override { return root_; }
    void holdKeyReference() override { holdsKeyReference_ = true; }

    // ui::CancelSink: renaming cannot be cancelled; transfers poll the dialog.
    void OnCancel() override {}

    // Initialize's work, on the storage thread; rootObjectMade tells the
    // caller whether the server was reached at all.
    void initializeHere(PCIDLIST_ABSOLUTE list, bool& rootObjectMade);
    void bindStorageThread();

    // The storage file's absolute list: the own list for the root.
    LPCITEMIDLIST storageFileList() const noexcept;
    // The shell browser of the site, else of the owner window; null for none.
    Microsoft::WRL::ComPtr<IShellBrowser> shellBrowser();

    // The item of the storage's contents, with its comment.
    Microsoft::WRL::ComPtr<IStorageObject> itemHere(const std::wstring& name);
    std::wstring commentOf(const std::wstring& name);

    const bool root_;
    bool bound_ = false;
    server::StoragePointer storage_;
    Microsoft::WRL::ComPtr<IUnknown> site_;
    Microsoft::WRL::ComPtr<IDataObject> dragData_;
    HWND owner_ = nullptr;
    ItemIdList ownList_;
    GUID storageId_{}; // root only: all zero until read
    bool holdsKeyReference_ = false;
    FolderLocation location_;
    Microsoft::WRL::ComPtr<IShellView> viewSlot_;
    UINT firstCommand_ = 0;
};

} // namespace cfx::folder
