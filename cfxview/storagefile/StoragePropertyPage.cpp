#include "storagefile/StoragePropertyPage.h"

#include "common/Exceptions.h"
#include "module/Module.h"
#include "server/ErrorReport.h"
#include "storagefile/Defragmentation.h"
#include "storagefile/StorageFreeze.h"
#include "ui/dialog_ids.h"

namespace cfx::storagefile {

namespace {

constexpr wchar_t kInternalError[] = L"Unable to complete operation due to internal error.";
constexpr wchar_t kKeyError[] = L"Unable to show storage key due to internal error.";

constexpr struct {
    int id;
    KeyCommand command;
} kKeyButtons[] = {
    {IDC_TOOLS_VIEW_KEY, KeyCommand::View},       {IDC_TOOLS_UNINSTALL_KEY, KeyCommand::Delete},
    {IDC_TOOLS_ATTACH_KEY, KeyCommand::Attach},   {IDC_TOOLS_DETACH_KEY, KeyCommand::Detach},
    {IDC_TOOLS_INSTALL_KEY, KeyCommand::Install}, {IDC_TOOLS_EXPORT_KEY, KeyCommand::Export},
};

} // namespace

STDMETHODIMP StoragePropertyPage::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) {
    return guarded([&] { state_ = StorageState::read(folder, data, folder_); });
}

STDMETHODIMP StoragePropertyPage::AddPages(LPFNSVADDPROPSHEETPAGE addPage, LPARAM lParam) {
    if (!addPage)
        return E_INVALIDARG;
    PROPSHEETPAGEW sheet{};
    // The version-3 size (52 bytes in 32-bit builds); mingw-w64's prsht.h
    // names only the older ones.
    sheet.dwSize = CCSIZEOF_STRUCT(PROPSHEETPAGEW, hActCtx);
    // The callback gives back the page's reference when the sheet lets the
    // page go, whether or not its window was ever made.
    sheet.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
    sheet.hInstance = module::instance();
    sheet.pszTemplate = MAKEINTRESOURCEW(IDD_STORAGE_TOOLS);
    sheet.pszTitle = L"Coffrex tools";
    sheet.pfnDlgProc = &pageProc;
    sheet.pfnCallback = &pageCallback;
    sheet.lParam = reinterpret_cast<LPARAM>(this);
    HPROPSHEETPAGE page = CreatePropertySheetPageW(&sheet);
    if (!page)
        return E_OUTOFMEMORY;
    addRef(); // for the page; taken before the sheet may release it
    if (!addPage(page, lParam)) {
        DestroyPropertySheetPage(page); // calls back, which releases
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP StoragePropertyPage::ReplacePage(EXPPS, LPFNSVADDPROPSHEETPAGE, LPARAM) {
    return E_NOTIMPL;
}

UINT CALLBACK StoragePropertyPage::pageCallback(HWND, UINT message, PROPSHEETPAGEW* page) {
    if (message == PSPCB_RELEASE && page)
        reinterpret_cast<StoragePropertyPage*>(page->lParam)->release();
    return 1;
}

INT_PTR CALLBACK StoragePropertyPage::pageProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    auto* self = reinterpret_cast<StoragePropertyPage*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG && !self && lParam) {
        self = reinterpret_cast<StoragePropertyPage*>(
            reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->pageWindow_ = window;
    }
    return self ? self->handle(message, wParam) : FALSE;
}

INT_PTR StoragePropertyPage::handle(UINT message, WPARAM wParam) {
    switch (message) {
    case WM_INITDIALOG:
        updateFreezeButtons(state_.frozen);
        refreshKeyButtons();
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            command(LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}

void StoragePropertyPage::command(int id) {
    HWND page = pageWindow_;
    const std::wstring& path = state_.path;
    switch (id) {
    case IDC_TOOLS_DEFRAGMENT:
        guardedCommand(kInternalError, [&] { AnalyseAndDefragment(page, path); });
        return;
    case IDC_TOOLS_FREEZE:
    case IDC_TOOLS_UNFREEZE: {
        const bool freeze = id == IDC_TOOLS_FREEZE;
        guardedCommand(kInternalError, [&] {
            if (freeze ? freezeCommand(page, path) : unfreezeCommand(page, path))
                updateFreezeButtons(freeze);
        });
        return;
    }
    }
    for (const auto& button : kKeyButtons) {
        if (button.id != id)
            continue;
        // The view and uninstall commands name their failures; the others'
        // escaping failures get the library's internal-error text.
        const bool named =
            button.command == KeyCommand::View || button.command == KeyCommand::Delete;
        guardedCommand(named ? kKeyError : kInternalError,
                       [&] { runKeyCommand(button.command, page, state_); });
        refreshKeyButtons();
    }
}

template <class Action>
void StoragePropertyPage::guardedCommand(const wchar_t* prefix, Action&& action) {
    try {
        action();
    } catch (...) {
        server::showCurrentException(pageWindow_, prefix);
    }
}

void StoragePropertyPage::enable(int id, bool enabled) const {
    EnableWindow(GetDlgItem(pageWindow_, id), enabled);
}

void StoragePropertyPage::updateFreezeButtons(bool frozen) {
    state_.frozen = frozen;
    enable(IDC_TOOLS_UNFREEZE, frozen);
    enable(IDC_TOOLS_FREEZE, !frozen);
}

void StoragePropertyPage::refreshKeyButtons() {
    try {
        state_.readKeyState();
    } catch (...) {
        // The buttons keep the last state read.
        server::showCurrentException(pageWindow_, kInternalError);
    }
    for (const auto& button : kKeyButtons)
        enable(button.id, keyCommandEnabled(button.command, state_));
}

} // namespace cfx::storagefile
