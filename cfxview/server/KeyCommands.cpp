#include "server/KeyCommands.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Variant.h"
#include "server/CertificateStore.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "ui/ActivationContext.h"

#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace cfx {

namespace {

using Microsoft::WRL::ComPtr;

ComPtr<IStorageObject> openStorage(IStorageServer* root, const std::wstring& path) {
    ComPtr<IStorageObject> storage;
    checkServerCall(root->OpenStorage(makeBstr(path).get(), &storage), root);
    notNull(storage.Get());
    return storage;
}

// A file for the attached key where only this user looks: the local
// application data folder, under a new UUID.
std::wstring temporaryKeyFile() {
    wchar_t folder[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, TRUE))
        throw win_except(ERROR_FILE_NOT_FOUND);
    GUID id;
    check(CoCreateGuid(&id));
    wchar_t name[40];
    StringFromGUID2(id, name, 40);
    return std::wstring(folder) + L"\\" + name + L".pfx";
}

void writeFile(const std::wstring& path, const std::vector<BYTE>& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throwLastError();
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        throwLastError();
}

} // namespace

bool InstallAttachedKey(HWND owner, const std::wstring& storagePath) {
    ComPtr<IStorageServer> root = createRoot();
    ComPtr<IStorageObject> storage = openStorage(root.Get(), storagePath);
    if (!(readFlags(storage.Get()) & kKeyAttached))
        return false;
    const std::vector<BYTE> keyFile = readBytesProperty(storage.Get(), StorageProperty_AttachedKey);

    const std::wstring path = temporaryKeyFile();
    // Should the import bring the process down, the file goes at the next restart.
    writeFile(path, keyFile);
    MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    try {
        ImportKeyFile(owner, path, kKeyCaption);
    } catch (...) {
        DeleteFileW(path.c_str());
        throw;
    }
    DeleteFileW(path.c_str());
    return true;
}

bool InstallKeyFromFile(HWND owner) {
    using OpenFileName = BOOL(WINAPI*)(OPENFILENAMEW*);
    using ExtendedError = DWORD(WINAPI*)();
    // The common dialogs are loaded only when a command needs them.
    static HMODULE dialogs = LoadLibraryW(L"comdlg32.dll");
    if (!dialogs)
        throwLastError();
    static auto getOpenFileName = reinterpret_cast<OpenFileName>(
        reinterpret_cast<void*>(GetProcAddress(dialogs, "GetOpenFileNameW")));
    static auto extendedError = reinterpret_cast<ExtendedError>(
        reinterpret_cast<void*>(GetProcAddress(dialogs, "CommDlgExtendedError")));
    if (!getOpenFileName || !extendedError)
        throwLastError();

    wchar_t file[MAX_PATH] = {};
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = L"PKCS#12 files (*.pfx)\0*.pfx\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = L"Select Coffrex key file...";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_NONETWORKBUTTON | OFN_EXPLORER | OFN_ENABLESIZING;
    dialog.lpstrDefExt = L"pfx";
    BOOL chosen;
    {
        ui::ActivationScope activation;
        chosen = getOpenFileName(&dialog);
    }
    if (chosen)
        return ImportKeyFile(owner, file, kKeyCaption);
    if (DWORD error = extendedError())
        MessageBoxW(
            owner,
            (L"Unable to install key due to internal error #" + std::to_wstring(error)).c_str(),
            kKeyCaption, MB_ICONERROR);
    return false;
}

} // namespace cfx
