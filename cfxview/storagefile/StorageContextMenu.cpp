#include "storagefile/StorageContextMenu.h"

#include "common/Exceptions.h"
#include "server/CertificateStore.h"
#include "server/ErrorReport.h"
#include "server/KeyCommands.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "storagefile/Defragmentation.h"
#include "storagefile/StorageFreeze.h"

#include <shellapi.h>

#include <cstring>
#include <cwchar>

namespace cfx::storagefile {

namespace {

// Offsets from the first command identifier the shell gives.
enum Offset : UINT {
    kSeparatorBelow = 0, // inserted first, so lowest
    kUnfreeze = 1,
    kFreeze = 2,
    kAnalyse = 3,
    kManageKey = 4,
    kViewKey = 5,
    kDeleteKey = 6,
    kKeySeparator = 7,
    kAttachKey = 8,
    kDetachKey = 9,
    kInstallKey = 10,
    kExportKey = 11,
    kSeparatorAbove = 12,
};
// The identifiers the menu reserves; 0 to 12 are used.
constexpr HRESULT kReserved = 18;

struct CommandRow {
    UINT offset;
    const char* verb;
    const char* help;
    const wchar_t* verbW;
    const wchar_t* helpW;
};

constexpr CommandRow kCommands[] = {
    {kUnfreeze, "cfx:unfreeze", "Unfreeze the storage", L"cfx:unfreeze", L"Unfreeze the storage"},
    {kFreeze, "cfx:freeze", "Freeze the storage", L"cfx:freeze", L"Freeze the storage"},
    {kAnalyse, "cfx:analyse", "Analyse the storage...", L"cfx:analyse", L"Analyse the storage..."},
    {kViewKey, "cfx:viewkey", "View installed storage key...", L"cfx:viewkey",
     L"View installed storage key..."},
    {kDeleteKey, "cfx:deletekey", "Delete installed storage key...", L"cfx:deletekey",
     L"Delete installed storage key..."},
    {kAttachKey, "cfx:attachkey", "Attach key to the storage...", L"cfx:attachkey",
     L"Attach key to the storage..."},
    {kDetachKey, "cfx:detachkey", "Remove attached storage key...", L"cfx:detachkey",
     L"Remove attached storage key..."},
    {kInstallKey, "cfx:installkey", "Install attached storage key...", L"cfx:installkey",
     L"Install attached storage key..."},
    {kExportKey, "cfx:exportkey", "Export attached storage key to file...", L"cfx:exportkey",
     L"Export attached storage key to file..."},
};

const CommandRow* commandAt(UINT_PTR offset) {
    for (const CommandRow& row : kCommands)
        if (row.offset == offset)
            return &row;
    return nullptr;
}

template <class Char> HRESULT copyBounded(const Char* text, void* buffer, UINT size) {
    size_t length = 0;
    while (text[length])
        ++length;
    if (!buffer || length >= size)
        return E_OUTOFMEMORY;
    std::memcpy(buffer, text, (length + 1) * sizeof(Char));
    return S_OK;
}

UINT enabledWhen(bool enabled) {
    return enabled ? MF_ENABLED : MF_GRAYED | MF_DISABLED;
}

void insertItem(HMENU menu, UINT index, UINT flags, UINT id, const wchar_t* text) {
    checkLastError(InsertMenuW(menu, index, MF_BYPOSITION | flags, id, text));
}

} // namespace

std::wstring selectedStorage(PCIDLIST_ABSOLUTE folder, IDataObject* data,
                             folder::ItemIdList& folderCopy) {
    std::wstring path;
    if (folder) {
        folderCopy.reset(ILClone(folder));
        if (!folderCopy)
            throw std::bad_alloc();
        wchar_t folderPath[MAX_PATH];
        if (!SHGetPathFromIDListW(folderCopy.get(), folderPath))
            raise(E_FAIL);
        path = folderPath;
    } else {
        FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium{};
        check(notNull(data)->GetData(&format, &medium));
        struct Medium {
            STGMEDIUM* medium;
            ~Medium() { ReleaseStgMedium(medium); }
        } held{&medium};
        HDROP drop = static_cast<HDROP>(medium.hGlobal);
        const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        // Read whole, past MAX_PATH: a path cut short would name another file.
        for (UINT i = count; i-- > 0;) {
            std::wstring name(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
            name.resize(DragQueryFileW(drop, i, name.data(), static_cast<UINT>(name.size())));
            path = name;
        }
        if (count > 1)
            raise(E_INVALIDARG);
    }
    if (path.empty())
        raise(E_FAIL);
    return path;
}

STDMETHODIMP StorageContextMenu::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) {
    return guarded([&] {
        path_ = selectedStorage(folder, data, folder_);
        const auto storage = server::openStorage(server::createRoot().Get(), path_);
        frozen_ = IsStorageFrozen(storage.Get(), path_);
        installedKey_ = server::FindInstalledKey(storage.Get());
        flags_ = server::readFlags(storage.Get());
    });
}

STDMETHODIMP StorageContextMenu::QueryContextMenu(HMENU menu, UINT index, UINT first, UINT,
                                                  UINT flags) {
    if (flags & CMF_DEFAULTONLY)
        return 0;
    return guarded([&]() -> HRESULT {
        const bool attached = (flags_ & server::kKeyAttached) != 0;
        const bool installed = bool(installedKey_);
        // Each insertion lands above the one before.
        insertItem(menu, index, MF_SEPARATOR, first + kSeparatorBelow, nullptr);

        HMENU keys = CreatePopupMenu();
        if (!keys)
            throwLastError();
        struct Popup {
            HMENU menu;
            ~Popup() {
                if (menu)
                    DestroyMenu(menu);
            }
        } popup{keys};
        const struct {
            UINT offset;
            UINT flags;
            const wchar_t* text;
        } keyItems[] = {
            {kViewKey, enabledWhen(installed), L"View installed key..."},
            {kDeleteKey, enabledWhen(installed), L"Delete installed key..."},
            {kKeySeparator, MF_SEPARATOR, nullptr},
            {kAttachKey, enabledWhen(!attached), L"Attach a key..."},
            {kDetachKey, enabledWhen(attached), L"Detach key..."},
            {kInstallKey, enabledWhen(attached && !installed), L"Install key..."},
            {kExportKey, enabledWhen(attached), L"Export key..."},
        };
        for (const auto& item : keyItems)
            checkLastError(AppendMenuW(keys, item.flags, first + item.offset, item.text));

        wchar_t manageKey[] = L"Manage key";
        MENUITEMINFOW submenu{};
        submenu.cbSize = sizeof submenu;
        submenu.fMask = MIIM_SUBMENU | MIIM_ID | MIIM_STRING;
        submenu.wID = first + kManageKey;
        submenu.hSubMenu = keys;
        submenu.dwTypeData = manageKey;
        checkLastError(InsertMenuItemW(menu, index, TRUE, &submenu));
        popup.menu = nullptr; // the menu owns it now

        insertItem(menu, index, MF_STRING, first + kAnalyse, L"Defragmentation...");
        insertItem(menu, index, MF_STRING | enabledWhen(!frozen_), first + kFreeze, L"Freeze");
        insertItem(menu, index, MF_STRING | enabledWhen(frozen_), first + kUnfreeze, L"Unfreeze");
        insertItem(menu, index, MF_SEPARATOR, first + kSeparatorAbove, nullptr);
        return kReserved;
    });
}

STDMETHODIMP StorageContextMenu::InvokeCommand(CMINVOKECOMMANDINFO* info) {
    if (!info)
        return E_INVALIDARG;
    UINT offset;
    if (HIWORD(reinterpret_cast<UINT_PTR>(info->lpVerb))) {
        const CommandRow* found = nullptr;
        for (const CommandRow& row : kCommands)
            if (std::strcmp(row.verb, info->lpVerb) == 0)
                found = &row;
        if (!found)
            return E_NOTIMPL;
        offset = found->offset;
    } else {
        offset = LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb));
    }
    if (!commandAt(offset))
        return E_NOTIMPL;
    try {
        run(offset, info->hwnd);
    } catch (...) {
        // The commands report their own failures; this is what escapes them.
        server::showCurrentException(nullptr,
                                     L"Unable to complete operation due to internal error.");
    }
    return S_OK;
}

// Acts on the state learnt at Initialize; a command that does not apply to
// it does nothing.
void StorageContextMenu::run(UINT offset, HWND owner) {
    const bool attached = (flags_ & server::kKeyAttached) != 0;
    const bool installed = bool(installedKey_);
    switch (offset) {
    case kUnfreeze:
        if (frozen_)
            FreezeStorage(path_, false);
        break;
    case kFreeze:
        if (!frozen_)
            FreezeStorage(path_, true);
        break;
    case kAnalyse:
        AnalyseAndDefragment(owner, path_);
        break;
    case kViewKey:
        if (installed)
            server::ViewKey(owner, path_);
        break;
    case kDeleteKey:
        if (installed)
            server::DeleteKey(owner, path_);
        break;
    case kAttachKey:
        if (!attached)
            server::AttachKey(owner, path_);
        break;
    case kDetachKey:
        if (attached)
            server::DetachKey(owner, path_);
        break;
    case kInstallKey:
        if (attached)
            server::InstallAttachedKey(owner, path_);
        break;
    case kExportKey:
        if (attached)
            server::ExportAttachedKey(owner, path_);
        break;
    }
}

STDMETHODIMP StorageContextMenu::GetCommandString(UINT_PTR command, UINT type, UINT*, CHAR* name,
                                                  UINT size) {
    const CommandRow* row = commandAt(command);
    if (!row)
        return E_INVALIDARG;
    switch (type) {
    case GCS_VERBA:
        return copyBounded(row->verb, name, size);
    case GCS_HELPTEXTA:
        return copyBounded(row->help, name, size);
    case GCS_VERBW:
        return copyBounded(row->verbW, name, size);
    case GCS_HELPTEXTW:
        return copyBounded(row->helpW, name, size);
    default:
        return S_OK;
    }
}

} // namespace cfx::storagefile
