#include "folder/StorageFolderViewCallback.h"

#include "folder/StorageFolder.h"

namespace cfx::folder {

using namespace server;
using namespace ui;

StorageFolderViewCallback::StorageFolderViewCallback(StorageFolder* folder) : folder_(folder) {
    if (folder_)
        folder_->AddRef();
}

StorageFolderViewCallback::~StorageFolderViewCallback() {
    if (folder_)
        folder_->Release();
}

STDMETHODIMP StorageFolderViewCallback::MessageSFVCB(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!folder_)
        return E_NOTIMPL;
    switch (message) {
    case SFVM_QUERYFSNOTIFY: {
        auto* entry = reinterpret_cast<SHChangeNotifyEntry*>(lParam);
        if (!entry)
            return E_INVALIDARG;
        entry->pidl = ILClone(folder_->ownList());
        entry->fRecursive = TRUE;
        return S_OK;
    }
    case SFVM_GETNOTIFY:
        if (!wParam || !lParam)
            return E_INVALIDARG;
        *reinterpret_cast<LPCITEMIDLIST*>(wParam) = folder_->ownList();
        *reinterpret_cast<LONG*>(lParam) = SHCNE_ALLEVENTS;
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

} // namespace cfx::folder
