#include "folder/ItemContextMenu.h"

#include "common/Exceptions.h"
#include "folder/ItemMenuCallback.h"
#include "folder/StorageFolder.h"

#include <cstring>

using Microsoft::WRL::ComPtr;

namespace cfx::folder {

ItemContextMenu::ItemContextMenu(StorageFolder& folder, HWND owner, UINT count,
                                 PCUITEMID_CHILD_ARRAY items, ComPtr<IContextMenu> shellMenu)
    : folder_(static_cast<IShellFolder2*>(&folder)), storageFolder_(folder), owner_(owner),
      shellMenu_(std::move(shellMenu)) {
    addExtraInterface(IID_IContextMenu, static_cast<IContextMenu3*>(this));
    addExtraInterface(IID_IContextMenu2, static_cast<IContextMenu3*>(this));
    for (UINT i = 0; i < count; ++i) {
        items_.emplace_back(ILClone(items[i]));
        if (!items_.back())
            raise(E_OUTOFMEMORY);
    }
}

STDMETHODIMP ItemContextMenu::QueryContextMenu(HMENU menu, UINT index, UINT first, UINT last,
                                               UINT flags) {
    return guarded([&]() -> HRESULT {
        const unsigned mergesBefore = itemMenuMergesOnThisThread();
        const HRESULT hr = shellMenu_->QueryContextMenu(menu, index, first, last, flags);
        queried_ = true;
        drivenHere_ = SUCCEEDED(hr) && itemMenuMergesOnThisThread() == mergesBefore;
        if (!drivenHere_)
            return hr;
        // The shell's items keep their ids; the callback's follow them.
        ownFirst_ = HRESULT_CODE(hr);
        ownCount_ = 0;
        QCMINFO merge{menu, index, first + ownFirst_, last, nullptr};
        if (callback(DFM_MERGECONTEXTMENU, flags, reinterpret_cast<LPARAM>(&merge)) != S_OK)
            return hr;
        ownCount_ = merge.idCmdFirst - (first + ownFirst_);
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, ownFirst_ + ownCount_);
    });
}

STDMETHODIMP ItemContextMenu::InvokeCommand(CMINVOKECOMMANDINFO* info) {
    return guarded([&]() -> HRESULT {
        notNull(info);
        if (!queried_ && !IS_INTRESOURCE(info->lpVerb)) {
            // A verb without a menu: a scratch query tells who drives the callback.
            HMENU scratch = CreatePopupMenu();
            QueryContextMenu(scratch, 0, 1, 0x7FFF, CMF_NORMAL);
            DestroyMenu(scratch);
        }
        if (!drivenHere_)
            return shellMenu_->InvokeCommand(info);
        UINT command = 0;
        if (IS_INTRESOURCE(info->lpVerb)) {
            const UINT offset = LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb));
            if (offset >= ownFirst_ && offset < ownFirst_ + ownCount_)
                return callback(DFM_INVOKECOMMAND, offset - ownFirst_,
                                reinterpret_cast<LPARAM>(info->lpParameters), info->hwnd);
            // The shell's own items, by the verbs it gives them.
            char verb[64] = "";
            if (SUCCEEDED(
                    shellMenu_->GetCommandString(offset, GCS_VERBA, nullptr, verb, sizeof verb)))
                command = standardCommand(verb);
        } else {
            command = standardCommand(info->lpVerb);
        }
        if (!command)
            return shellMenu_->InvokeCommand(info);
        return callback(DFM_INVOKECOMMAND, static_cast<WPARAM>(command),
                        reinterpret_cast<LPARAM>(info->lpParameters), info->hwnd);
    });
}

STDMETHODIMP ItemContextMenu::GetCommandString(UINT_PTR command, UINT type, UINT* reserved,
                                               CHAR* name, UINT size) {
    if (!drivenHere_ || command < ownFirst_ || command >= ownFirst_ + ownCount_)
        return shellMenu_->GetCommandString(command, type, reserved, name, size);
    // The callback gives wide help texts only, as it does to the shell.
    if (type != GCS_HELPTEXTW)
        return E_NOTIMPL;
    return itemMenuCallback(folder_.Get(), owner_, nullptr, DFM_GETHELPTEXTW,
                            MAKEWPARAM(command - ownFirst_, size), reinterpret_cast<LPARAM>(name));
}

STDMETHODIMP ItemContextMenu::HandleMenuMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    ComPtr<IContextMenu2> menu;
    if (FAILED(shellMenu_.As(&menu)))
        return E_NOTIMPL;
    return menu->HandleMenuMsg(message, wParam, lParam);
}

STDMETHODIMP ItemContextMenu::HandleMenuMsg2(UINT message, WPARAM wParam, LPARAM lParam,
                                             LRESULT* result) {
    ComPtr<IContextMenu3> menu;
    if (FAILED(shellMenu_.As(&menu)))
        return E_NOTIMPL;
    return menu->HandleMenuMsg2(message, wParam, lParam, result);
}

STDMETHODIMP ItemContextMenu::SetSite(IUnknown* site) {
    site_ = site;
    ComPtr<IObjectWithSite> shellSite;
    if (SUCCEEDED(shellMenu_.As(&shellSite)))
        shellSite->SetSite(site);
    return S_OK;
}

STDMETHODIMP ItemContextMenu::GetSite(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return site_ ? site_->QueryInterface(iid, out) : E_NOINTERFACE;
}

// The folder's data object, as the shell's default folder menu takes it; a
// folder that has none gets the shell's own data object of the items, which
// carries the "Shell IDList Array" the commands read.
IDataObject* ItemContextMenu::selection() {
    if (!selection_) {
        std::vector<LPCITEMIDLIST> lists;
        for (const ItemIdList& item : items_)
            lists.push_back(item.get());
        const UINT count = static_cast<UINT>(lists.size());
        if (FAILED(folder_->GetUIObjectOf(owner_, count, lists.data(), IID_IDataObject, nullptr,
                                          &selection_)))
            check(CIDLData_CreateFromIDArray(storageFolder_.ownList(), count, lists.data(),
                                             &selection_));
    }
    return selection_.Get();
}

HRESULT ItemContextMenu::callback(UINT message, WPARAM wParam, LPARAM lParam, HWND owner) {
    return itemMenuCallback(folder_.Get(), owner ? owner : owner_, selection(), message, wParam,
                            lParam);
}

UINT ItemContextMenu::standardCommand(const char* verb) {
    static const struct {
        const char* verb;
        UINT command;
    } kVerbs[] = {{"delete", DFM_CMD_DELETE},
                  {"cut", DFM_CMD_MOVE},
                  {"copy", DFM_CMD_COPY},
                  {"properties", DFM_CMD_PROPERTIES},
                  {"paste", DFM_CMD_PASTE}};
    for (const auto& row : kVerbs)
        if (verb && std::strcmp(verb, row.verb) == 0)
            return row.command;
    return 0;
}

} // namespace cfx::folder
