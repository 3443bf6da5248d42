// The item menu the storage folder hands the shell: the shell's default folder
// menu made with the item menu callback, passed through as it is wherever the
// shell drives that callback.
//
// Wine 8's CDefFolderMenu_Create2 ignores the callback: it passes neither the
// callback nor a data object on, loads its own Cut/Copy/Delete/Properties menu
// and carries out "delete" through the folder's ISFHelper, so the library's
// commands would never show and a delete would bypass the storage. This object
// watches for that at run time - no DFM_MERGECONTEXTMENU during the shell
// menu's QueryContextMenu - and only then drives the callback itself as the
// shell's default folder menu does: DFM_MERGECONTEXTMENU with the caller's
// menu, position and the ids after the shell's own, DFM_INVOKECOMMAND with the
// offset or with DFM_CMD_DELETE, _MOVE, _COPY, _PROPERTIES, _PASTE for those
// verbs (its own items' verbs included), DFM_GETHELPTEXTW for help texts.
// A shell that drives the callback is never driven twice.
#pragma once

#include "common/ComObjectBase.h"
#include "folder/StorageItemId.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <vector>

namespace cfx::folder {

class StorageFolder;

class ItemContextMenu final : public ComObject<IContextMenu3, IObjectWithSite> {
public:
    // folder: the folder whose items items are (child lists, cloned); shellMenu:
    // what CDefFolderMenu_Create2 made for them.
    ItemContextMenu(StorageFolder& folder, HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items,
                    Microsoft::WRL::ComPtr<IContextMenu> shellMenu);

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first, UINT last,
                                  UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* name,
                                  UINT size) override;
    // IContextMenu2, IContextMenu3: the shell menu's, when it has them.
    STDMETHODIMP HandleMenuMsg(UINT message, WPARAM wParam, LPARAM lParam) override;
    STDMETHODIMP HandleMenuMsg2(UINT message, WPARAM wParam, LPARAM lParam,
                                LRESULT* result) override;
    // IObjectWithSite: kept, and handed on to the shell menu.
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID iid, void** out) override;

private:
    // The selection's data object, made by the folder once it is needed.
    IDataObject* selection();
    HRESULT callback(UINT message, WPARAM wParam, LPARAM lParam, HWND owner = nullptr);
    // The DFM_CMD_ value of a verb the callback carries out, else 0.
    static UINT standardCommand(const char* verb);

    Microsoft::WRL::ComPtr<IShellFolder> folder_;
    StorageFolder& storageFolder_;
    HWND owner_;
    std::vector<ItemIdList> items_;
    Microsoft::WRL::ComPtr<IContextMenu> shellMenu_;
    Microsoft::WRL::ComPtr<IDataObject> selection_;
    Microsoft::WRL::ComPtr<IUnknown> site_;
    bool queried_ = false;
    bool drivenHere_ = false; // the shell's menu did not drive the callback
    UINT ownFirst_ = 0;       // offset of the callback's first id from the caller's first
    UINT ownCount_ = 0;       // ids the callback took
};

} // namespace cfx::folder
