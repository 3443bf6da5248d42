#include "WizardPages.h"

#include "NewStorage.h"
#include "Wizard.h"
#include "resource.h"

#include "common/Exceptions.h"

#include <commdlg.h>
#include <cryptuiapi.h>

namespace cfx::wizard {

namespace {

constexpr wchar_t kCaption[] = L"Coffrex";

enum Page { kKeyPage, kOptionsPage, kConfirmPage, kPageCount };
constexpr int kTemplates[kPageCount] = {IDD_WIZARD_KEY, IDD_WIZARD_OPTIONS, IDD_WIZARD_CONFIRM};

// Page results besides IDOK (next), IDCANCEL and IDC_WIZARD_BACK.
constexpr INT_PTR kShowAgain = 0x100; // the page asked the user to correct it
constexpr INT_PTR kMakeFailed = 0x101;

// What every page shares: the state and the look of the header.
struct PageContext {
    WizardState& state;
    Page page;
    HICON icon;
    HICON bigIcon;
    HFONT titleFont;
};

PageContext& contextOf(HWND page) {
    return *reinterpret_cast<PageContext*>(GetWindowLongPtrW(page, DWLP_USER));
}

std::wstring textOf(HWND page, int id) {
    HWND control = GetDlgItem(page, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

void warn(HWND page, const std::wstring& text) {
    MessageBoxW(page, text.c_str(), kCaption, MB_OK | MB_ICONWARNING);
}

void initHeader(HWND page, const PageContext& context) {
    SendMessageW(page, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(context.icon));
    SendMessageW(page, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(context.bigIcon));
    SendDlgItemMessageW(page, IDC_WIZARD_ICON, STM_SETICON,
                        reinterpret_cast<WPARAM>(context.bigIcon), 0);
    SendDlgItemMessageW(page, IDC_WIZARD_TITLE, WM_SETFONT,
                        reinterpret_cast<WPARAM>(context.titleFont), FALSE);
    EnableWindow(GetDlgItem(page, IDC_WIZARD_BACK), context.page != kKeyPage);
}

// ---- the key -----------------------------------------------------------------

void initKeyPage(HWND page, WizardState& state) {
    HWND list = GetDlgItem(page, IDC_CERTIFICATE);
    for (const InstalledKey& key : state.installed)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(key.shown.c_str()));
    if (!state.certificateText.empty())
        SetWindowTextW(list, state.certificateText.c_str());
    else if (!state.installed.empty())
        SendMessageW(list, CB_SETCURSEL, 0, 0);
    if (state.installed.empty()) {
        EnableWindow(GetDlgItem(page, IDC_USE_CERTIFICATE), FALSE);
        EnableWindow(list, FALSE);
        EnableWindow(GetDlgItem(page, IDC_CHOOSE_CERTIFICATE), FALSE);
        state.useKeyFile = true;
    }
    SetDlgItemTextW(page, IDC_KEY_FILE, state.keyFile.c_str());
    SetDlgItemTextW(page, IDC_PASSWORD, state.password.c_str());
    // Last: filling the fields above reports changes that choose a radio button.
    CheckRadioButton(page, IDC_USE_CERTIFICATE, IDC_USE_KEY_FILE,
                     state.useKeyFile ? IDC_USE_KEY_FILE : IDC_USE_CERTIFICATE);
    SetFocus(GetDlgItem(page, state.useKeyFile
                                  ? (state.keyFile.empty() ? IDC_KEY_FILE : IDC_PASSWORD)
                                  : IDC_CERTIFICATE));
}

void browseKeyFile(HWND page) {
    wchar_t file[MAX_PATH] = L"";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = page;
    dialog.lpstrTitle = L"Select the key file for the new storage";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_NONETWORKBUTTON | OFN_EXPLORER | OFN_ENABLESIZING;
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrFilter = L"PKCS#12 files (*.pfx)\0*.pfx\0";
    dialog.lpstrDefExt = L"pfx";
    if (GetOpenFileNameW(&dialog)) {
        SetDlgItemTextW(page, IDC_KEY_FILE, file);
        SetFocus(GetDlgItem(page, IDC_PASSWORD));
    }
}

// The system's certificate selection, offered the certificates of the list;
// the one chosen is selected in the list.
void chooseCertificate(HWND page, const WizardState& state) {
    cfx::CertificateStore keys(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!keys)
        cfx::throwLastError();
    for (const InstalledKey& key : state.installed)
        cfx::checkLastError(CertAddCertificateContextToStore(keys.get(), key.certificate.get(),
                                                             CERT_STORE_ADD_ALWAYS, nullptr));
    cfx::Certificate chosen(CryptUIDlgSelectCertificateFromStore(
        keys.get(), page, L"Choose the key of the new storage",
        L"The new storage will open only with the private key of the certificate you choose.", 0, 0,
        nullptr));
    for (size_t i = 0; chosen && i < state.installed.size(); ++i) {
        if (CertCompareCertificate(X509_ASN_ENCODING, chosen.get()->pCertInfo,
                                   state.installed[i].certificate.get()->pCertInfo)) {
            SendDlgItemMessageW(page, IDC_CERTIFICATE, CB_SETCURSEL, i, 0);
            CheckRadioButton(page, IDC_USE_CERTIFICATE, IDC_USE_KEY_FILE, IDC_USE_CERTIFICATE);
        }
    }
}

// Keeps what the page shows, then checks the choice: the key page's Next.
INT_PTR leaveKeyPage(HWND page, WizardState& state) {
    state.useKeyFile = IsDlgButtonChecked(page, IDC_USE_KEY_FILE) == BST_CHECKED;
    state.certificateText = textOf(page, IDC_CERTIFICATE);
    state.keyFile = textOf(page, IDC_KEY_FILE);
    state.password = textOf(page, IDC_PASSWORD);
    if (!state.useKeyFile) {
        int found = findInstalledKey(state.installed, state.certificateText);
        if (found < 0) {
            warn(page, L"Please choose one of your certificates from the list.");
            return kShowAgain;
        }
        state.chosen = ChosenKey{state.installed[static_cast<size_t>(found)].certificate, {}, {}};
        return IDOK;
    }
    if (state.keyFile.empty()) {
        warn(page, L"Please enter the key file (.pfx) the storage is made for.");
        return kShowAgain;
    }
    try {
        std::optional<std::wstring> password;
        if (!state.password.empty())
            password = state.password;
        state.chosen = openKeyFile(state.keyFile, password);
        return IDOK;
    } catch (const cfx::DescribedError& e) {
        if (!isWrongPassword(e.Error()))
            throw;
        state.password.clear();
        warn(page, e.description() + L"\n\nPlease type the password of " + quoted(state.keyFile) +
                       L" again.");
        return kShowAgain;
    }
}

bool keyPageCommand(HWND page, WizardState& state, int id, int code) {
    if (id == IDC_KEY_FILE && code == EN_CHANGE)
        CheckRadioButton(page, IDC_USE_CERTIFICATE, IDC_USE_KEY_FILE, IDC_USE_KEY_FILE);
    else if (id == IDC_CERTIFICATE && (code == CBN_EDITCHANGE || code == CBN_SELCHANGE))
        CheckRadioButton(page, IDC_USE_CERTIFICATE, IDC_USE_KEY_FILE, IDC_USE_CERTIFICATE);
    else if (id == IDC_BROWSE && code == BN_CLICKED)
        browseKeyFile(page);
    else if (id == IDC_CHOOSE_CERTIFICATE && code == BN_CLICKED) {
        try {
            chooseCertificate(page, state);
        } catch (...) {
            warn(page, currentFailureText());
        }
    } else if (id == IDOK) {
        INT_PTR result = kShowAgain;
        try {
            result = leaveKeyPage(page, state);
        } catch (...) {
            std::wstring text = currentFailureText();
            warn(page, state.useKeyFile ? L"The key file " + quoted(state.keyFile) +
                                              L" cannot be used.\n\n" + text
                                        : text);
        }
        EndDialog(page, result);
    } else
        return false;
    return true;
}

// ---- the attached copy ----------------------------------------------------------

void initOptionsPage(HWND page, WizardState& state) {
    const bool fromFile = !state.chosen.keyFile.empty();
    if (!fromFile)
        state.attach = false;
    EnableWindow(GetDlgItem(page, IDC_ATTACH), fromFile);
    CheckDlgButton(page, IDC_ATTACH, state.attach ? BST_CHECKED : BST_UNCHECKED);
    std::wstring note =
        fromFile ? L"The key file " + quoted(state.chosen.keyFile) +
                       L" will be kept inside the storage, protected by its password. Anyone "
                       L"who can read the storage file can try to guess that password: attach "
                       L"only a key file with a strong one."
                 : std::wstring(L"An installed certificate has no key file to attach. To keep a "
                                L"copy in the storage later, use \"Attach a key...\" on the "
                                L"storage's menu.");
    SetDlgItemTextW(page, IDC_ATTACH_NOTE, note.c_str());
}

// ---- confirmation -----------------------------------------------------------------

void initConfirmPage(HWND page, const WizardState& state) {
    PCCERT_CONTEXT certificate = state.chosen.certificate.get();
    std::wstring summary = L"A new, empty storage will be made:\n    " + state.target.path() +
                           L"\n\nIt opens only with the key of:\n    " + subjectOf(certificate) +
                           L" (key identifier " + keyIdOf(certificate) + L")";
    if (!state.chosen.keyFile.empty())
        summary +=
            L"\n\nThe key file " + quoted(state.chosen.keyFile) + L" will be installed for you.";
    if (state.attach)
        summary += L"\n\nA copy of the key will be attached to the storage.";
    SetDlgItemTextW(page, IDC_SUMMARY, summary.c_str());
}

INT_PTR finish(HWND page, WizardState& state) {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    try {
        makeStorage(state.target, state.chosen, state.attach);
        state.made = true;
        SetCursor(previous);
        return IDOK;
    } catch (...) {
        SetCursor(previous);
        showFailure(page);
        return kMakeFailed;
    }
}

// ---- every page -------------------------------------------------------------------

INT_PTR CALLBACK pageProcedure(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(page, DWLP_USER, lParam);
        PageContext& context = *reinterpret_cast<PageContext*>(lParam);
        initHeader(page, context);
        try {
            if (context.page == kKeyPage)
                initKeyPage(page, context.state);
            else if (context.page == kOptionsPage)
                initOptionsPage(page, context.state);
            else
                initConfirmPage(page, context.state);
        } catch (...) {
            showFailure(page);
            EndDialog(page, kMakeFailed);
        }
        if (context.page != kKeyPage)
            SetFocus(GetDlgItem(page, context.page == kOptionsPage ? IDC_ATTACH : IDOK));
        return FALSE; // the focus is set
    }
    case WM_CTLCOLORSTATIC: {
        // The header's texts and icon stand on its white band.
        int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (id != IDC_WIZARD_TITLE && id != IDC_WIZARD_SUBTITLE && id != IDC_WIZARD_ICON)
            return FALSE;
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_COMMAND: {
        PageContext& context = contextOf(page);
        const int id = LOWORD(wParam), code = HIWORD(wParam);
        if (context.page == kKeyPage && keyPageCommand(page, context.state, id, code))
            return TRUE;
        if (id == IDOK && context.page == kOptionsPage)
            context.state.attach = IsDlgButtonChecked(page, IDC_ATTACH) == BST_CHECKED;
        if (id == IDOK && context.page == kConfirmPage) {
            EndDialog(page, finish(page, context.state));
            return TRUE;
        }
        if (id == IDOK || id == IDCANCEL || id == IDC_WIZARD_BACK) {
            if (id == IDC_WIZARD_BACK && context.page == kOptionsPage)
                context.state.attach = IsDlgButtonChecked(page, IDC_ATTACH) == BST_CHECKED;
            EndDialog(page, id);
            return TRUE;
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

// The dialog font in bold, for the pages' titles.
HFONT makeTitleFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfWeight = FW_BOLD;
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

} // namespace

void showFailure(HWND owner) {
    std::wstring text = L"Unable to create the storage.\n\n" + currentFailureText();
    MessageBoxW(owner, text.c_str(), kCaption, MB_OK | MB_ICONERROR);
}

int runPages(const WizardOptions& options, StorageTarget& target) {
    WizardState state{target};
    state.installed = installedKeys();
    state.keyFile = options.keyFile;
    state.password = options.password.value_or(std::wstring());
    state.useKeyFile = !options.keyFile.empty();
    state.attach = options.attach;
    if (!options.keyId.empty()) {
        cfx::Certificate wanted = installedKeyById(options.keyId);
        state.certificateText = subjectOf(wanted.get());
        for (const InstalledKey& key : state.installed)
            if (CertCompareCertificate(X509_ASN_ENCODING, key.certificate.get()->pCertInfo,
                                       wanted.get()->pCertInfo))
                state.certificateText = key.shown;
    }

    HINSTANCE instance = GetModuleHandleW(nullptr);
    struct Resources {
        HICON icon, bigIcon;
        HFONT font;
        ~Resources() {
            DestroyIcon(icon);
            DestroyIcon(bigIcon);
            DeleteObject(font);
        }
    } resources{static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_WIZARD), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), 0)),
                static_cast<HICON>(
                    LoadImageW(instance, MAKEINTRESOURCEW(IDI_WIZARD_KEYS), IMAGE_ICON, 32, 32, 0)),
                makeTitleFont()};

    int page = kKeyPage;
    for (;;) {
        PageContext context{state, static_cast<Page>(page), resources.icon, resources.bigIcon,
                            resources.font};
        INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(kTemplates[page]), nullptr,
                                         pageProcedure, reinterpret_cast<LPARAM>(&context));
        if (result == -1)
            cfx::throwLastError();
        if (result == IDOK && page == kConfirmPage)
            return kMade;
        if (result == IDOK)
            ++page;
        else if (result == IDC_WIZARD_BACK)
            page = page > kKeyPage ? page - 1 : page;
        else if (result == kMakeFailed)
            return kFailed;
        else if (result != kShowAgain)
            return kCancelled;
    }
}

} // namespace cfx::wizard
