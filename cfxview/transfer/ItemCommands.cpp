#include "transfer/ItemCommands.h"

#include "common/Exceptions.h"
#include "common/Variant.h"
#include "folder/StorageFolder.h"
#include "folder/StorageItemId.h"
#include "module/Module.h"
#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "transfer/ChangeNotify.h"
#include "transfer/DataObjectHelpers.h"
#include "ui/CorruptedFilesDialog.h"
#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "ui/resource.h"

#include <shlobj.h>

#include <cwchar>
#include <memory>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

using folder::ItemIdList;
using folder::StorageFolder;
using server::checkServerCall;

namespace {

constexpr wchar_t kCommandFailed[] = L"Unable to complete operation";

// SVSI_EDIT (which selects), SVSI_DESELECTOTHERS, SVSI_ENSUREVISIBLE, SVSI_SELECTIONMARK.
constexpr UINT kSelectForRenaming = 0x4F;

std::wstring counted(std::size_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + (count == 1 ? one : many);
}

// ASCII letters fold; nothing else does.
bool equalIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c; };
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

std::vector<std::wstring> namesIn(IStorageFolder* folder) {
    ComPtr<IStorageEnum> listing;
    checkServerCall(folder->EnumItems(&listing), folder);
    notNull(listing.Get());
    std::vector<std::wstring> names;
    for (;;) {
        ComPtr<IStorageItem> item;
        checkServerCall(listing->Next(&item), listing.Get());
        if (!item)
            return names;
        BSTR name = nullptr;
        checkServerCall(item->GetName(&name), item.Get());
        names.push_back(fromBstr(Bstr(name).get()));
    }
}

std::shared_ptr<ui::ProgressDialogHost> openProgress(StorageFolder& folder, HWND owner,
                                                     ui::ProgressKind single, std::size_t count,
                                                     const wchar_t* title,
                                                     const std::wstring& header) {
    ui::ProgressDialogParams params;
    params.module = module::instance();
    params.kind = ui::progressKind(single, count);
    params.icon = ui::IconHandle::fromResource(module::instance(), IDI_DOCUMENT);
    params.ownerWindow = owner;
    params.cancelSink = folder.cancelSink();
    params.title = title;
    params.header = header;
    return ui::ProgressDialogHost::create(params);
}

// --- Integrity check ------------------------------------------------------------

// The folders that hold damaged files, and the damaged files with the index
// of their folder as the list dialog's tag.
struct IntegrityRun {
    ui::ProgressDialog* progress = nullptr;
    std::vector<ComPtr<IStorageFolder>> folders;
    std::vector<ui::CorruptedFile> corrupted;
};

// The stored checksum as 16 bytes; absent or unreadable text reads as zeros,
// which no contents match.
GUID storedChecksum(IStorageObject* file) {
    GUID stored{};
    const std::wstring text = server::readTextProperty(file, StorageProperty_Checksum);
    if (FAILED(IIDFromString(text.c_str(), &stored)))
        stored = GUID{};
    return stored;
}

void checkFile(IntegrityRun& run, IStorageFile* file, IStorageFolder* parent,
               const std::wstring& name) {
    ULONGLONG size = 0;
    checkServerCall(file->GetSize(&size), file);
    if (size != 0) {
        GUID computed{};
        checkServerCall(file->ComputeChecksum(reinterpret_cast<BYTE*>(&computed)), file);
        if (computed != storedChecksum(file)) {
            std::size_t index = 0;
            while (index < run.folders.size() && run.folders[index].Get() != parent)
                ++index;
            if (index == run.folders.size())
                run.folders.emplace_back(parent);
            run.corrupted.push_back({static_cast<std::uint32_t>(index), name});
        }
    }
    if (run.progress) {
        run.progress->SetLine1((L"Checking '" + name + L"'").c_str());
        run.progress->SetPos(run.progress->GetPos() + 1);
    }
}

void checkFolder(IntegrityRun& run, IStorageFolder* folder) {
    for (const std::wstring& name : namesIn(folder)) {
        const Bstr itemName = makeBstr(name);
        ComPtr<IStorageObject> item;
        checkServerCall(folder->GetItem(itemName.get(), &item), folder);
        notNull(item.Get());
        LONG type = 0;
        checkServerCall(item->GetType(&type), item.Get());
        if (type == StorageItemFile) {
            ComPtr<IStorageFile> file;
            checkServerCall(item.As(&file), item.Get());
            checkFile(run, file.Get(), folder, name);
        } else if (type == StorageItemFolder) {
            ComPtr<IStorageFolder> below;
            checkServerCall(item.As(&below), item.Get());
            checkFolder(run, below.Get());
        } else {
            raise(E_UNEXPECTED);
        }
    }
}

// The list dialog's delete: the file goes from the folder that holds it, as
// the unconfirmed delete does it, with its message on failure.
bool deleteCorruptedFile(HWND window, const std::wstring& name, std::uint32_t tag, void* context) {
    auto* run = static_cast<IntegrityRun*>(context);
    if (tag >= run->folders.size())
        return false;
    IStorageFolder* parent = run->folders[tag].Get();
    const Bstr itemName = makeBstr(name);
    if (FAILED(parent->DeleteItem(itemName.get()))) {
        const std::wstring text = L"Unable to delete '" + name + L"'";
        MessageBoxW(window, text.c_str(), server::kMessageCaption, MB_ICONHAND);
        return false;
    }
    return true;
}

} // namespace

void newFolder(StorageFolder& folder) {
    try {
        ComPtr<IStorageFolder> here = folder.folderHere();
        const std::vector<std::wstring> taken = namesIn(here.Get());
        wchar_t candidate[MAX_PATH] = L"";
        for (int n = 0; n < 0x7FFFFFFF; ++n) {
            if (n == 0)
                std::swprintf(candidate, MAX_PATH, L"New Folder");
            else
                std::swprintf(candidate, MAX_PATH, L"New Folder (%i)", n);
            bool free = true;
            for (const std::wstring& name : taken)
                free = free && !equalIgnoringAsciiCase(name, candidate);
            if (free)
                break;
        }
        const Bstr name = makeBstr(candidate);
        ComPtr<IStorageFolder> made;
        checkServerCall(here->OpenFolder(name.get(), VARIANT_TRUE, &made), here.Get());
        ComPtr<IStorageItem> info;
        checkServerCall(here->GetItemInfo(name.get(), &info), here.Get());
        ItemIdList id;
        folder::makeItemId(notNull(info.Get()), id.put());
        notifyItemChange(ChangeKind::Created, folder.ownList(), id.get());
        notifyItemChange(ChangeKind::Updated, folder.ownList(), folder.ownList());
        folder.refreshView();
        if (ComPtr<IShellView> view = folder.activeView())
            view->SelectItem(id.get(), kSelectForRenaming);
    } catch (...) {
        server::showCurrentException(folder.ownerWindow(), kCommandFailed);
    }
}

void extractToFolder(StorageFolder& folder, HWND owner, IDataObject* selection) {
    wchar_t displayName[MAX_PATH] = L"";
    BROWSEINFOW browse{};
    browse.hwndOwner = folder.ownerWindow();
    browse.pszDisplayName = displayName;
    browse.lpszTitle = L"Select folder where you want to export selected selected object(s).";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    ItemIdList chosen(SHBrowseForFolderW(&browse));
    if (!chosen)
        return;

    ComPtr<IShellFolder> desktop, target;
    check(SHGetDesktopFolder(&desktop));
    ItemIdList desktopList;
    check(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, desktopList.put()));
    if (ILIsEqual(chosen.get(), desktopList.get()))
        target = desktop;
    else
        check(desktop->BindToObject(chosen.get(), nullptr, IID_PPV_ARGS(&target)));
    ComPtr<IDropTarget> drop;
    check(target->CreateViewObject(owner, IID_PPV_ARGS(&drop)));
    notNull(drop.Get());

    constexpr DWORD kCopyKeys = MK_LBUTTON | MK_CONTROL;
    DWORD effect = DROPEFFECT_COPY;
    check(drop->DragEnter(selection, kCopyKeys, POINTL{0, 0}, &effect));
    effect = DROPEFFECT_COPY;
    check(drop->Drop(selection, kCopyKeys, POINTL{0, 0}, &effect));
    check(drop->DragLeave());
}

void checkIntegrity(StorageFolder& folder, HWND owner, IDataObject* selection) {
    ItemIdList parent;
    std::vector<ItemIdList> items;
    if (!readShellIdList(selection, parent, items) || items.empty())
        return;
    const std::size_t count = items.size();
    std::shared_ptr<ui::ProgressDialogHost> progress =
        openProgress(folder, owner, ui::CheckSingle, count, L"Integrity checkig...",
                     L"Checking " + counted(count, L" item", L" items"));
    IntegrityRun run;
    run.progress = progress ? progress->dialog() : nullptr;
    if (run.progress)
        run.progress->SetRange(0, static_cast<std::int64_t>(count));

    ComPtr<IStorageFolder> here = folder.folderHere();
    for (const ItemIdList& item : items) {
        LPCITEMIDLIST last = folder::lastItem(item.get());
        const std::wstring name = folder::nameOf(last);
        const Bstr itemName = makeBstr(name);
        switch (folder::kindOf(last)) {
        case folder::ItemKind::File: {
            ComPtr<IStorageFile> file;
            checkServerCall(here->OpenFile(itemName.get(), VARIANT_FALSE, &file), here.Get());
            checkFile(run, notNull(file.Get()), here.Get(), name);
            break;
        }
        case folder::ItemKind::Folder: {
            ComPtr<IStorageFolder> below;
            checkServerCall(here->OpenFolder(itemName.get(), VARIANT_FALSE, &below), here.Get());
            checkFolder(run, notNull(below.Get()));
            break;
        }
        default:
            raise(E_INVALIDARG);
        }
    }
    progress.reset();

    const HWND window = folder.ownerWindow();
    if (run.corrupted.empty()) {
        MessageBoxW(window, L"Test completed.\nThere data is OK. Any corruption was detected.",
                    server::kMessageCaption, MB_ICONASTERISK);
        return;
    }
    if (ui::ShowCorruptedFiles(std::move(run.corrupted), module::instance(), window,
                               &deleteCorruptedFile, &run))
        folder.refreshView();
}

} // namespace cfx::transfer
