#include "transfer/ItemPropertySheet.h"

#include "common/Exceptions.h"
#include "common/Variant.h"
#include "folder/FolderColumns.h"
#include "folder/ItemComment.h"
#include "folder/StorageFolder.h"
#include "folder/StorageItemId.h"
#include "module/Module.h"
#include "server/ServerCall.h"
#include "transfer/DataObjectHelpers.h"
#include "transfer/TransferEngine.h"
#include "ui/DialogActivation.h"
#include "ui/dialog_ids.h"

#include <commctrl.h>
#include <prsht.h>
#include <shellapi.h>

#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

using folder::ItemIdList;
using server::checkServerCall;

namespace {

constexpr int kNameLimit = 260;
constexpr int kCommentLimit = 65536;

bool differsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    return a.size() != b.size() || folder::compareFolded(a, b) != 0;
}

std::wstring textOf(HWND page, int id) {
    HWND control = GetDlgItem(page, id);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

void initPage(HWND page, ItemPageData& data) {
    SetWindowLongPtrW(page, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&data));
    SetDlgItemTextW(page, IDC_ITEM_NAME, data.name.c_str());
    SendDlgItemMessageW(page, IDC_ITEM_NAME, EM_LIMITTEXT, kNameLimit, 0);
    SetDlgItemTextW(page, IDC_ITEM_TYPE, data.typeText.c_str());
    if (data.isFile) {
        const std::wstring size =
            formatByteSize(data.size, 2) + L" (" + formatByteSize(data.size, 0) + L" bytes)";
        SetDlgItemTextW(page, IDC_ITEM_SIZE, size.c_str());
    } else {
        ShowWindow(GetDlgItem(page, IDC_ITEM_SIZE), SW_HIDE);
    }
    SetDlgItemTextW(page, IDC_ITEM_COMMENT, data.comment.c_str());
    SendDlgItemMessageW(page, IDC_ITEM_COMMENT, EM_LIMITTEXT, kCommentLimit, 0);
    if (data.icon)
        SendDlgItemMessageW(page, IDC_ITEM_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(data.icon.get()), 0);
}

void apply(HWND page, ItemPageData& data) {
    data.applied = true;
    const std::wstring name = textOf(page, IDC_ITEM_NAME);
    if (name.empty())
        return;
    if (differsIgnoringAsciiCase(name, data.name)) {
        data.nameChanged = true;
        data.name = name;
    }
    const std::wstring comment = textOf(page, IDC_ITEM_COMMENT);
    if (!comment.empty() && differsIgnoringAsciiCase(comment, data.comment)) {
        data.commentChanged = true;
        data.comment = comment;
    }
}

INT_PTR CALLBACK itemPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    try {
        if (message == WM_INITDIALOG) {
            initPage(page, *reinterpret_cast<ItemPageData*>(
                               reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam));
            return TRUE;
        }
        if (message == WM_NOTIFY) {
            const auto* notify = reinterpret_cast<PSHNOTIFY*>(lParam);
            auto* data = reinterpret_cast<ItemPageData*>(GetWindowLongPtrW(page, GWLP_USERDATA));
            // lParam of PSN_APPLY is non-zero for OK.
            if (notify->hdr.code == PSN_APPLY && notify->lParam && data) {
                apply(page, *data);
                return TRUE;
            }
        }
    } catch (...) {
        // Nothing may escape into the dialog manager; the edits are lost.
    }
    return FALSE;
}

} // namespace

bool showItemPropertySheet(ItemPageData& data, HWND owner) {
    data.applied = data.nameChanged = data.commentChanged = false;
    PROPSHEETPAGEW page{};
    page.dwSize = sizeof page;
    page.dwFlags = PSP_USETITLE;
    page.hInstance = module::instance();
    page.pszTemplate = MAKEINTRESOURCEW(IDD_ITEM_GENERAL);
    page.pszTitle = L"General";
    page.pfnDlgProc = &itemPageProc;
    page.lParam = reinterpret_cast<LPARAM>(&data);
    PROPSHEETHEADERW sheet{};
    sheet.dwSize = sizeof sheet;
    sheet.dwFlags = PSH_PROPTITLE | PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_NOCONTEXTHELP;
    sheet.hwndParent = owner;
    sheet.hInstance = module::instance();
    sheet.pszCaption = data.name.c_str();
    sheet.nPages = 1;
    sheet.ppsp = &page;
    ui::DialogActivation activation(module::instance());
    PropertySheetW(&sheet);
    return data.applied;
}

void showItemProperties(folder::StorageFolder& folder, HWND, IDataObject* selection) {
    ItemIdList parent;
    std::vector<ItemIdList> items;
    if (!readShellIdList(selection, parent, items) || items.size() != 1)
        return;
    LPCITEMIDLIST child = items[0].get();
    ItemPageData data;
    data.name = folder::nameOf(folder::lastItem(child));

    ComPtr<IStorageFolder> here = folder.folderHere();
    const Bstr name = makeBstr(data.name);
    ComPtr<IStorageObject> item;
    checkServerCall(here->GetItem(name.get(), &item), here.Get());
    notNull(item.Get());
    LONG type = 0;
    checkServerCall(item->GetType(&type), item.Get());
    data.isFile = type == StorageItemFile;

    SHELLDETAILS details{};
    check(folder.GetDetailsOf(child, folder::TypeColumn, &details));
    if (details.str.uType != STRRET_WSTR)
        raise(E_INVALIDARG);
    TaskMemory typeText(details.str.pOleStr);
    data.typeText = details.str.pOleStr;

    if (data.isFile) {
        ComPtr<IStorageFile> file;
        checkServerCall(item.As(&file), item.Get());
        checkServerCall(file->GetSize(&data.size), file.Get());
    }
    data.comment = folder::readComment(item.Get(), folder.storageKeyId());

    ItemIdList absolute = folder::combine(folder.ownList(), child);
    SHFILEINFOW info{};
    SHGetFileInfoW(reinterpret_cast<LPCWSTR>(absolute.get()), 0, &info, sizeof info,
                   SHGFI_ICON | SHGFI_PIDL);
    data.icon =
        ui::IconHandle(info.hIcon, &ui::IconHandle::duplicateIcon, &ui::IconHandle::destroyIcon);

    const HWND window = folder.ownerWindow();
    if (!showItemPropertySheet(data, window))
        return;
    if (data.commentChanged)
        folder::writeComment(item.Get(), folder.storageKeyId(), data.comment);
    if (data.nameChanged)
        check(folder.SetNameOf(window, child, data.name.c_str(), SHGDN_NORMAL, nullptr));
    folder.refreshView();
}

} // namespace cfx::transfer
