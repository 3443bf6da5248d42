#include "storagefile/StoragePropertyPage.h"

#include "common/Exceptions.h"
#include "module/Module.h"
#include "server/CertificateStore.h"
#include "server/ErrorReport.h"
#include "server/KeyCommands.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "storagefile/Defragmentation.h"
#include "storagefile/StorageContextMenu.h"
#include "storagefile/StorageFreeze.h"
#include "ui/dialog_ids.h"

namespace cfx::storagefile {

namespace {

constexpr wchar_t kInternalError[] = L"Unable to complete operation due to internal error.";
constexpr wchar_t kKeyError[] = L"Unable to show storage key due to internal error.";

} // namespace

STDMETHODIMP StoragePropertyPage::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) {
    return guarded([&] {
        path_ = selectedStorage(folder, data, folder_);
        const auto storage = server::openStorage(server::createRoot().Get(), path_);
        frozen_ = IsStorageFrozen(storage.Get(), path_);
        storageId_ = server::readStorageId(storage.Get());
        installedKey_ = server::FindInstalledKey(storage.Get());
        flags_ = server::readFlags(storage.Get());
    });
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
        updateFreezeButtons(frozen_);
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
    // The view and uninstall commands name their failures; the others'
    // escaping failures get the library's internal-error text.
    const wchar_t* prefix =
        id == IDC_TOOLS_VIEW_KEY || id == IDC_TOOLS_UNINSTALL_KEY ? kKeyError : kInternalError;
    bool keyCommand = true;
    try {
        switch (id) {
        case IDC_TOOLS_VIEW_KEY:
            server::ViewKey(page, path_);
            break;
        case IDC_TOOLS_UNINSTALL_KEY:
            server::DeleteKey(page, path_);
            break;
        case IDC_TOOLS_ATTACH_KEY:
            server::AttachKey(page, path_);
            break;
        case IDC_TOOLS_DETACH_KEY:
            server::DetachKey(page, path_);
            break;
        case IDC_TOOLS_INSTALL_KEY:
            server::InstallAttachedKey(page, path_);
            break;
        case IDC_TOOLS_EXPORT_KEY:
            server::ExportAttachedKey(page, path_);
            break;
        case IDC_TOOLS_DEFRAGMENT:
            keyCommand = false;
            AnalyseAndDefragment(page, path_);
            break;
        case IDC_TOOLS_FREEZE:
            keyCommand = false;
            if (freezeCommand(page, path_))
                updateFreezeButtons(true);
            break;
        case IDC_TOOLS_UNFREEZE:
            keyCommand = false;
            if (unfreezeCommand(page, path_))
                updateFreezeButtons(false);
            break;
        default:
            return;
        }
    } catch (...) {
        server::showCurrentException(page, prefix);
    }
    if (keyCommand)
        refreshKeyButtons();
}

void StoragePropertyPage::enable(int id, bool enabled) const {
    EnableWindow(GetDlgItem(pageWindow_, id), enabled);
}

void StoragePropertyPage::updateFreezeButtons(bool frozen) {
    frozen_ = frozen;
    enable(IDC_TOOLS_UNFREEZE, frozen);
    enable(IDC_TOOLS_FREEZE, !frozen);
}

void StoragePropertyPage::refreshKeyButtons() {
    try {
        const auto storage = server::openStorage(server::createRoot().Get(), path_);
        flags_ = server::readFlags(storage.Get());
        installedKey_ = server::FindInstalledKey(storage.Get());
    } catch (...) {
        // The buttons keep the last state read.
        server::showCurrentException(pageWindow_, kInternalError);
    }
    const bool installed = bool(installedKey_);
    const bool attached = (flags_ & server::kKeyAttached) != 0;
    enable(IDC_TOOLS_VIEW_KEY, installed);
    enable(IDC_TOOLS_UNINSTALL_KEY, installed);
    enable(IDC_TOOLS_DETACH_KEY, attached);
    enable(IDC_TOOLS_EXPORT_KEY, attached);
    enable(IDC_TOOLS_INSTALL_KEY, attached && !installed);
    enable(IDC_TOOLS_ATTACH_KEY, !attached);
}

} // namespace cfx::storagefile
