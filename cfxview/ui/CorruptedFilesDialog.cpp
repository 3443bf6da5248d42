#include "ui/CorruptedFilesDialog.h"

#include "common/Exceptions.h"
#include "server/ErrorReport.h"
#include "ui/DialogActivation.h"
#include "ui/PaintWhiteBand.h"
#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "ui/dialog_ids.h"
#include "ui/resource.h"

#include <commctrl.h>

#include <memory>

namespace cfx::ui {

namespace {

constexpr wchar_t kDataProperty[] = L"DIALOG_DATA_PROP";
// A tree item's state image: 1 is a cleared box, 2 a checked one.
constexpr UINT kCleared = 1, kChecked = 2;

CorruptedFilesData* dataOf(HWND dialog) {
    return static_cast<CorruptedFilesData*>(GetPropW(dialog, kDataProperty));
}

std::wstring counted(std::size_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + (count == 1 ? one : many);
}

// The confirmation texts are wide; the progress texts are composed as narrow
// text in the user's code page and widened, as the dialog always did.
std::wstring narrowed(const std::wstring& text) {
    const int size = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), size, narrow.data(), bytes, nullptr, nullptr);
    const int chars = MultiByteToWideChar(CP_ACP, 0, narrow.data(), bytes, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(chars > 0 ? chars : 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow.data(), bytes, wide.data(), chars);
    return wide;
}

struct TreeEntry {
    HTREEITEM item;
    std::wstring name;
    std::uint32_t tag;
};

TreeEntry entryOf(HWND tree, HTREEITEM item) {
    wchar_t text[MAX_PATH] = L"";
    TVITEMW info{};
    info.mask = TVIF_TEXT | TVIF_PARAM | TVIF_HANDLE;
    info.hItem = item;
    info.pszText = text;
    info.cchTextMax = MAX_PATH;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&info));
    return {item, text, static_cast<std::uint32_t>(info.lParam)};
}

BOOL initDialog(HWND dialog, CorruptedFilesData* data) {
    HICON icon = LoadIconW(data->module, MAKEINTRESOURCEW(IDI_DOCUMENT));
    if (icon) {
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    }
    HWND tree = GetDlgItem(dialog, IDC_CORRUPTED_TREE);
    if (!SetPropW(dialog, kDataProperty, data) || !tree) {
        EndDialog(dialog, -1);
    } else {
        SetWindowLongPtrW(tree, GWL_STYLE, GetWindowLongPtrW(tree, GWL_STYLE) | TVS_CHECKBOXES);
        for (const CorruptedFile& file : data->files) {
            TVINSERTSTRUCTW insert{};
            insert.hParent = TVI_ROOT;
            insert.hInsertAfter = TVI_LAST;
            insert.item.mask = TVIF_TEXT | TVIF_PARAM;
            insert.item.pszText = const_cast<wchar_t*>(file.name.c_str());
            insert.item.lParam = static_cast<LPARAM>(file.tag);
            auto item = reinterpret_cast<HTREEITEM>(
                SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
            TVITEMW check{};
            check.mask = TVIF_STATE | TVIF_HANDLE;
            check.hItem = item;
            check.state = INDEXTOSTATEIMAGEMASK(kChecked);
            check.stateMask = TVIS_STATEIMAGEMASK;
            SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&check));
        }
    }
    // A shared icon: destroying it leaves the window's icon alone.
    if (icon)
        DestroyIcon(icon);
    return TRUE;
}

void deleteChosen(HWND dialog) {
    HWND tree = GetDlgItem(dialog, IDC_CORRUPTED_TREE);
    CorruptedFilesData* data = dataOf(dialog);
    if (!data || SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 0)
        return;
    // A file counts as chosen unless its box was cleared.
    std::vector<HTREEITEM> chosen;
    for (auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
         item; item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT,
                                                               reinterpret_cast<LPARAM>(item)))) {
        const auto state = static_cast<UINT>(SendMessageW(
            tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK));
        if ((state & TVIS_STATEIMAGEMASK) >> 12 != kCleared)
            chosen.push_back(item);
    }
    const std::size_t n = chosen.size();
    if (n == 0)
        return;
    const std::wstring question =
        n == 1 ? L"Are you sure you want to delete '" + entryOf(tree, chosen[0]).name + L"' ?"
               : L"Are you sure you want to delete " + std::to_wstring(n) + L" items ?";
    if (MessageBoxW(dialog, question.c_str(), server::kMessageCaption,
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    ProgressDialogParams params;
    params.module = data->module;
    params.kind = progressKind(DeleteSingle, n);
    params.ownerWindow = dialog;
    params.title = L"Deleting";
    params.header = narrowed(L"Deleting " + counted(n, L" item", L" items"));
    std::shared_ptr<ProgressDialogHost> progress = ProgressDialogHost::create(params);
    ProgressDialog* bar = progress ? progress->dialog() : nullptr;
    if (!bar) {
        MessageBoxW(dialog, L"Some error has occured", nullptr, MB_ICONERROR);
        return;
    }
    bar->SetRange(0, static_cast<std::int64_t>(n));
    std::size_t remaining = n;
    for (HTREEITEM item : chosen) {
        const TreeEntry entry = entryOf(tree, item);
        bar->SetLine1(narrowed(L"Deleting '" + entry.name + L"'").c_str());
        bar->SetLine2(counted(remaining, L" item remaining", L" items remaining").c_str());
        if (!data->deleteFile(dialog, entry.name, entry.tag, data->context))
            break;
        data->deletedAny = true;
        SendMessageW(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item));
        bar->SetPos(bar->GetPos() + 1);
        --remaining;
    }
}

INT_PTR CALLBACK corruptedFilesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
        case WM_INITDIALOG:
            return initDialog(dialog, reinterpret_cast<CorruptedFilesData*>(lParam));
        case WM_PAINT:
            PaintWhiteBand(dialog);
            return TRUE;
        case WM_CLOSE:
            EndDialog(dialog, 0);
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
            case IDCANCEL:
            case IDC_CORRUPTED_CLOSE:
                EndDialog(dialog, 0);
                return TRUE;
            case IDC_CORRUPTED_DELETE:
                deleteChosen(dialog);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            RemovePropW(dialog, kDataProperty);
            return FALSE;
        default:
            return FALSE;
        }
    } catch (...) {
        // Nothing may escape into the dialog manager: the run ends, the list stays.
        return TRUE;
    }
}

} // namespace

bool ShowCorruptedFiles(std::vector<CorruptedFile> files, HMODULE module, HWND owner,
                        DeleteCorruptedFile deleteFile, void* context) {
    CorruptedFilesData data;
    data.module = module;
    data.files = std::move(files);
    data.deleteFile = deleteFile;
    data.context = context;
    DialogActivation activation(module);
    const INT_PTR result = DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_CORRUPTED_FILES), owner,
                                           &corruptedFilesProc, reinterpret_cast<LPARAM>(&data));
    if (result == -1)
        throwLastError();
    return data.deletedAny;
}

} // namespace cfx::ui
