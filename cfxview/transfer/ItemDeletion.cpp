#include "transfer/ItemDeletion.h"

#include "common/Handles.h"
#include "common/Variant.h"
#include "folder/StorageFolder.h"
#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "transfer/ChangeNotify.h"
#include "transfer/DataObjectHelpers.h"
#include "module/Module.h"
#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "ui/resource.h"

#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

namespace {

std::wstring counted(std::size_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + (count == 1 ? one : many);
}

// The confirming form's question; true for Yes.
bool confirmed(HWND owner, const std::vector<std::wstring>& names) {
    const std::wstring question =
        names.size() == 1
            ? L"Are you sure you want to delete '" + names[0] + L"' ?"
            : L"Are you sure you want to delete " + std::to_wstring(names.size()) + L" items ?";
    return MessageBoxW(owner, question.c_str(), server::kMessageCaption,
                       MB_YESNO | MB_ICONQUESTION) == IDYES;
}

} // namespace

// The unconfirmed form completes a move out of the storage; the confirming
// form is the Delete command. Cancel on its progress dialog only closes the
// dialog: the deletion runs to its end.
void deleteItems(folder::StorageFolder& folder, HWND owner, IDataObject* selection, bool confirm) {
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
    std::shared_ptr<ui::ProgressDialogHost> progress;
    ui::ProgressDialog* dialog = nullptr;
    if (confirm) {
        if (!confirmed(owner, names))
            return;
        ui::ProgressDialogParams params;
        params.module = module::instance();
        params.kind = ui::progressKind(ui::DeleteSingle, names.size());
        params.icon = ui::IconHandle::fromResource(module::instance(), IDI_DOCUMENT);
        params.ownerWindow = owner;
        params.cancelSink = folder.cancelSink();
        params.title = L"Deleting...";
        params.header = L"Deleting " + counted(names.size(), L" item", L" items");
        progress = ui::ProgressDialogHost::create(params);
        dialog = progress ? progress->dialog() : nullptr;
        if (dialog)
            dialog->SetRange(0, static_cast<std::int64_t>(names.size()));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (dialog) {
            dialog->SetLine1((L"Deleting '" + names[i] + L"'").c_str());
            dialog->SetLine2(
                counted(names.size() - i, L" item remaining", L" items remaining").c_str());
            dialog->SetPos(dialog->GetPos() + 1);
        }
        const Bstr name = makeBstr(names[i]);
        const HRESULT hr = here->DeleteItem(name.get());
        notifyItemChange(ChangeKind::Deleted, folder.ownList(), items[i].get());
        if (FAILED(hr)) {
            const std::wstring text = L"Unable to delete '" + names[i] + L"'";
            const HWND boxOwner = confirm && progress ? progress->window() : owner;
            MessageBoxW(boxOwner, text.c_str(), server::kMessageCaption, MB_ICONHAND);
            break;
        }
    }
    notifyItemChange(ChangeKind::Updated, folder.ownList(), folder.ownList());
    folder.refreshView();
}

} // namespace cfx::transfer
