#include "transfer/ItemDeletion.h"

#include "common/Handles.h"
#include "common/Variant.h"
#include "folder/StorageFolder.h"
#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "transfer/ChangeNotify.h"
#include "transfer/DataObjectHelpers.h"

#include <wrl/client.h>

#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

// The unconfirmed form completes a move out of the storage; the confirming
// form (question, progress dialog) belongs to the Delete command.
void deleteItems(folder::StorageFolder& folder, HWND owner, IDataObject* selection, bool confirm) {
    if (confirm)
        raise(E_NOTIMPL);
    ComPtr<IStorageFolder> here = folder.folderHere();
    folder::ItemIdList parent;
    std::vector<folder::ItemIdList> items;
    if (!readShellIdList(selection, parent, items) || items.empty())
        return;
    std::vector<std::wstring> names;
    for (const folder::ItemIdList& item : items) {
        names.push_back(folder::nameOf(folder::lastItem(item.get())));
        const Bstr name = makeBstr(names.back());
        ComPtr<IStorageItem> info;
        if (FAILED(here->GetItemInfo(name.get(), &info)) || !info)
            return;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Bstr name = makeBstr(names[i]);
        const HRESULT hr = here->DeleteItem(name.get());
        notifyItemChange(ChangeKind::Deleted, folder.ownList(), items[i].get());
        if (FAILED(hr)) {
            const std::wstring text = L"Unable to delete '" + names[i] + L"'";
            MessageBoxW(owner, text.c_str(), server::kMessageCaption, MB_ICONHAND);
            break;
        }
    }
    notifyItemChange(ChangeKind::Updated, folder.ownList(), folder.ownList());
    folder.refreshView();
}

} // namespace cfx::transfer
