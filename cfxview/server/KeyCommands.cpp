#include "server/KeyCommands.h"

#include "common/Base64.h"
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Text.h"
#include "common/Variant.h"
#include "common/Wine.h"
#include "folder/StorageItemId.h"
#include "module/Module.h"
#include "server/CertificateStore.h"
#include "server/KeyTable.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "storagefile/StorageFreeze.h"
#include "ui/ActivationContext.h"
#include "ui/PromptKeyPassword.h"

#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <optional>
#include <string>
#include <vector>

namespace cfx::server {

namespace {

using Microsoft::WRL::ComPtr;

constexpr DWORD kOpenKeyFlags =
    OFN_FILEMUSTEXIST | OFN_NONETWORKBUTTON | OFN_EXPLORER | OFN_ENABLESIZING;
// No overwrite prompt: an export replaces the file.
constexpr DWORD kSaveKeyFlags = OFN_NONETWORKBUTTON | OFN_EXPLORER | OFN_ENABLESIZING;

// A storage opened for one command, on a root of its own.
struct OpenedStorage {
    explicit OpenedStorage(const std::wstring& path)
        : root(createRoot()), object(openStorage(root.Get(), path)) {}
    ComPtr<IStorageServer> root;
    ComPtr<IStorageObject> object;
};

// The common dialogs, loaded only when a command first needs them.
struct FileDialogs {
    using FileNameDialog = BOOL(WINAPI*)(OPENFILENAMEW*);
    using ExtendedError = DWORD(WINAPI*)();
    FileNameDialog open = nullptr;
    FileNameDialog save = nullptr;
    ExtendedError extendedError = nullptr;
};

template <class Function> Function entry(HMODULE module, const char* name) {
    auto address = GetProcAddress(module, name);
    if (!address)
        throwLastError();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

const FileDialogs& fileDialogs() {
    static const FileDialogs dialogs = [] {
        HMODULE module = LoadLibraryW(L"comdlg32.dll");
        if (!module)
            throwLastError();
        FileDialogs loaded;
        loaded.open = entry<FileDialogs::FileNameDialog>(module, "GetOpenFileNameW");
        loaded.save = entry<FileDialogs::FileNameDialog>(module, "GetSaveFileNameW");
        loaded.extendedError = entry<FileDialogs::ExtendedError>(module, "CommDlgExtendedError");
        return loaded;
    }();
    return dialogs;
}

// The chosen key file, or nothing when the user cancelled (or the dialog
// failed: extendedError tells).
std::optional<std::wstring> chooseKeyFile(HWND owner, const wchar_t* title, DWORD flags,
                                          bool save) {
    const FileDialogs& dialogs = fileDialogs();
    wchar_t file[MAX_PATH] = {};
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = L"PKCS#12 files (*.pfx)\0*.pfx\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = title;
    dialog.Flags = flags;
    dialog.lpstrDefExt = L"pfx";
    BOOL chosen;
    {
        ui::ActivationScope activation;
        chosen = (save ? dialogs.save : dialogs.open)(&dialog);
    }
    if (!chosen)
        return std::nullopt;
    return std::wstring(file);
}

void writeWholeFile(const std::wstring& path, const std::vector<BYTE>& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throwLastError();
    DWORD written = 0;
    checkLastError(
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    if (written != bytes.size())
        throw win_except(ERROR_WRITE_FAULT);
}

// A file for the attached key where only this user looks: the local
// application data folder, under a new UUID.
std::wstring temporaryKeyFile() {
    wchar_t folder[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, TRUE))
        throw win_except(ERROR_FILE_NOT_FOUND);
    GUID id;
    check(CoCreateGuid(&id));
    return std::wstring(folder) + L"\\" + guidText(id) + L".pfx";
}

void writeFlags(IStorageObject* storage, ULONGLONG flags) {
    Variant value(flags);
    checkServerCall(storage->SetProperty(StorageProperty_Flags, value.get()), storage);
}

// The storage file went and came back for the shell, which redraws it with
// its key overlay. (The kinds the transfer engine's change notification
// gives a file: Deleted, then Created.)
void refreshStorageItem(const std::wstring& path) {
    folder::ItemIdList item(ILCreateFromPathW(path.c_str()));
    if (!item)
        return;
    SHChangeNotify(SHCNE_DELETE, SHCNF_IDLIST | SHCNF_FLUSH, item.get(), nullptr);
    SHChangeNotify(SHCNE_CREATE, SHCNF_IDLIST | SHCNF_FLUSH, item.get(), nullptr);
}

// "Do you want to install it right now?" with the shell's "do not show again"
// box; IDYES once the user chose not to be asked.
int askToInstallExportedKey(HWND owner) {
    using MessageBoxCheck = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT, int, LPCWSTR);
    static const MessageBoxCheck messageBoxCheck = [] {
        HMODULE shlwapi = GetModuleHandleW(L"shlwapi.dll");
        return shlwapi ? reinterpret_cast<MessageBoxCheck>(reinterpret_cast<void*>(
                             GetProcAddress(shlwapi, MAKEINTRESOURCEA(191))))
                       : nullptr;
    }();
    if (!messageBoxCheck)
        return IDNO;
    int answer = messageBoxCheck(
        owner, L"The key was successfuly exported.\n\nDo you want to install it right now?",
        kKeyCaption, MB_YESNO | MB_ICONQUESTION, IDYES, L"{B8E25D74-0F3A-4C19-86D2-E59A4C1B7F03}");
    // Wine 8's box ends Yes as IDOK (and No as IDCANCEL); Windows never
    // answers IDOK to a Yes/No question.
    if (answer == IDOK && runningUnderWine())
        answer = IDYES;
    return answer;
}

// The attached key file of the storage; false when none is attached. The
// storage is let go before the caller goes on.
bool readAttachedKey(const std::wstring& storagePath, std::vector<BYTE>& keyFile) {
    OpenedStorage storage(storagePath);
    if (!(readFlags(storage.object.Get()) & kKeyAttached))
        return false;
    keyFile = readBytesProperty(storage.object.Get(), StorageProperty_AttachedKey);
    return true;
}

} // namespace

bool ViewKey(HWND owner, const std::wstring& storagePath) {
    OpenedStorage storage(storagePath);
    Certificate certificate = FindInstalledKey(storage.object.Get());
    if (!certificate)
        return false;
    ViewCertificate(owner, certificate.get());
    return true;
}

bool DeleteKey(HWND owner, const std::wstring& storagePath) {
    OpenedStorage storage(storagePath);
    Certificate certificate = FindInstalledKey(storage.object.Get());
    if (!certificate)
        return false;
    const ULONGLONG flags = readFlags(storage.object.Get());
    const GUID id = readStorageId(storage.object.Get());
    const std::wstring question =
        (flags & kKeyAttached)
            ? L"Do you really want to delete installed storage key for current user account"
              L"?\n\nYou have a key attached to the storage so you can install it at any moment "
              L"you need."
            : L"WARNING: You have no storage key attached. If you have no any reserve copy of the "
              L"key you want to delete than you'll not be able to access this storage any "
              L"more.\n\nDo you really want to delete installed storage key for current user "
              L"account (it couldn't be undone) ?";
    if (MessageBoxW(owner, question.c_str(), kKeyCaption, MB_YESNO | MB_ICONWARNING) != IDYES)
        return false;
    KeyTable::instance().remove(id);
    // Nobody keeps using the storage with a key that is about to go.
    storagefile::FreezeStorage(storagePath, true);
    DeleteInstalledCertificate(std::move(certificate));
    return false;
}

bool AttachKey(HWND owner, const std::wstring& storagePath) {
    for (;;) {
        const std::optional<std::wstring> keyFile =
            chooseKeyFile(owner, L"Select a storage key to attach", kOpenKeyFlags, false);
        if (!keyFile)
            return false;
        std::wstring password;
        if (!ui::PromptKeyPassword(module::instance(), owner, password))
            return false;
        std::vector<Certificate> certificates;
        try {
            certificates = ImportPfxFile(*keyFile, password.c_str());
        } catch (...) {
            // A wrong password or an unreadable file is a reason to ask again.
            certificates.clear();
        }
        if (!certificates.empty()) {
            OpenedStorage storage(storagePath);
            IStorageObject* object = storage.object.Get();
            if (GetKeyIdentifier(certificates.front().get()) ==
                readBytesProperty(object, StorageProperty_KeyId)) {
                writeTextProperty(object, StorageProperty_AttachedKey,
                                  toBase64(readWholeFile(*keyFile)));
                writeFlags(object, readFlags(object) | kKeyAttached);
                refreshStorageItem(storagePath);
                return true;
            }
        }
        MessageBoxW(owner,
                    L"The key you have selected does not belong to this storage  or the password "
                    L"is invalid.\nPlease, select an appropriate key or try another password.",
                    kKeyCaption, MB_ICONWARNING);
    }
}

bool DetachKey(HWND owner, const std::wstring& storagePath) {
    if (MessageBoxW(owner,
                    L"Do you really want to remove attached key?\n\nNote: If you don't have a "
                    L"reserve copy of the key than you couldn't access a storage any more and all "
                    L"data inside the storage will be lost.",
                    kKeyCaption, MB_YESNO | MB_ICONWARNING) != IDYES)
        return false;
    OpenedStorage storage(storagePath);
    IStorageObject* object = storage.object.Get();
    const ULONGLONG flags = readFlags(object);
    if (!(flags & kKeyAttached))
        return false;
    checkServerCall(object->RemoveProperty(StorageProperty_AttachedKey), object);
    writeFlags(object, flags & ~kKeyAttached);
    refreshStorageItem(storagePath);
    return true;
}

bool InstallAttachedKey(HWND owner, const std::wstring& storagePath) {
    std::vector<BYTE> keyFile;
    if (!readAttachedKey(storagePath, keyFile))
        return false;
    const std::wstring path = temporaryKeyFile();
    // The file goes whatever happens from its creation on, a failed write
    // included; should the import bring the process down, it goes at the
    // next restart.
    struct RemoveWhenDone {
        const std::wstring& path;
        ~RemoveWhenDone() { DeleteFileW(path.c_str()); }
    } cleanUp{path};
    writeWholeFile(path, keyFile);
    MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    ImportKeyFile(owner, path, kKeyCaption);
    return true;
}

bool ExportAttachedKey(HWND owner, const std::wstring& storagePath) {
    std::vector<BYTE> keyFile;
    if (!readAttachedKey(storagePath, keyFile))
        return false;
    const std::optional<std::wstring> target =
        chooseKeyFile(owner, L"Storage key export", kSaveKeyFlags, true);
    if (!target)
        return false;
    writeWholeFile(*target, keyFile);
    if (askToInstallExportedKey(owner) == IDYES)
        ImportKeyFile(owner, *target, kKeyCaption);
    return true;
}

bool InstallKeyFromFile(HWND owner) {
    const std::optional<std::wstring> keyFile =
        chooseKeyFile(owner, L"Select Coffrex key file...", kOpenKeyFlags, false);
    if (keyFile)
        return ImportKeyFile(owner, *keyFile, kKeyCaption);
    if (DWORD error = fileDialogs().extendedError())
        MessageBoxW(
            owner,
            (L"Unable to install key due to internal error #" + std::to_wstring(error)).c_str(),
            kKeyCaption, MB_ICONERROR);
    return false;
}

} // namespace cfx::server
