#include "storagefile/StorageContextMenu.h"

#include "common/Exceptions.h"
#include "server/ErrorReport.h"
#include "storagefile/Defragmentation.h"
#include "storagefile/StorageFreeze.h"

#include <algorithm>
#include <cstring>

namespace cfx::storagefile {

namespace {

// Offsets from the first command identifier the shell gives.
enum Offset : UINT {
    kSeparatorBelow, // inserted first, so lowest
    kUnfreeze,
    kFreeze,
    kAnalyse,
    kManageKey,
    kViewKey,
    kDeleteKey,
    kKeySeparator,
    kAttachKey,
    kDetachKey,
    kInstallKey,
    kExportKey,
    kSeparatorAbove,
};
// The identifiers the menu reserves; 0 to 12 are used.
constexpr HRESULT kReserved = 18;

// The verbs and help texts, ASCII: GetCommandString widens them.
struct CommandRow {
    UINT offset;
    const char* verb;
    const char* help;
};

constexpr CommandRow kCommands[] = {
    {kUnfreeze, "cfx:unfreeze", "Unfreeze the storage"},
    {kFreeze, "cfx:freeze", "Freeze the storage"},
    {kAnalyse, "cfx:analyse", "Analyse the storage..."},
    {kViewKey, "cfx:viewkey", "View installed storage key..."},
    {kDeleteKey, "cfx:deletekey", "Delete installed storage key..."},
    {kAttachKey, "cfx:attachkey", "Attach key to the storage..."},
    {kDetachKey, "cfx:detachkey", "Remove attached storage key..."},
    {kInstallKey, "cfx:installkey", "Install attached storage key..."},
    {kExportKey, "cfx:exportkey", "Export attached storage key to file..."},
};

const CommandRow* commandAt(UINT_PTR offset) {
    for (const CommandRow& row : kCommands)
        if (row.offset == offset)
            return &row;
    return nullptr;
}

template <class Char> HRESULT copyBounded(const char* text, void* buffer, UINT size) {
    const size_t length = std::strlen(text);
    if (!buffer || length >= size)
        return E_OUTOFMEMORY;
    std::copy(text, text + length + 1, static_cast<Char*>(buffer));
    return S_OK;
}

// The "Manage key" sub-menu, in its order; the separator has no text.
struct KeyItem {
    UINT offset;
    KeyCommand command;
    const wchar_t* text;
};

constexpr KeyItem kKeyItems[] = {
    {kViewKey, KeyCommand::View, L"View installed key..."},
    {kDeleteKey, KeyCommand::Delete, L"Delete installed key..."},
    {kKeySeparator, KeyCommand::View, nullptr},
    {kAttachKey, KeyCommand::Attach, L"Attach a key..."},
    {kDetachKey, KeyCommand::Detach, L"Detach key..."},
    {kInstallKey, KeyCommand::Install, L"Install key..."},
    {kExportKey, KeyCommand::Export, L"Export key..."},
};

UINT enabledWhen(bool enabled) {
    return enabled ? MF_ENABLED : MF_GRAYED | MF_DISABLED;
}

void insertItem(HMENU menu, UINT index, UINT flags, UINT id, const wchar_t* text) {
    checkLastError(InsertMenuW(menu, index, MF_BYPOSITION | flags, id, text));
}

} // namespace

STDMETHODIMP StorageContextMenu::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) {
    return guarded([&] { state_ = StorageState::read(folder, data, folder_); });
}

STDMETHODIMP StorageContextMenu::QueryContextMenu(HMENU menu, UINT index, UINT first, UINT,
                                                  UINT flags) {
    if (flags & CMF_DEFAULTONLY)
        return 0;
    return guarded([&]() -> HRESULT {
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
        for (const KeyItem& item : kKeyItems) {
            const UINT itemFlags =
                item.text ? enabledWhen(keyCommandEnabled(item.command, state_)) : MF_SEPARATOR;
            checkLastError(AppendMenuW(keys, itemFlags, first + item.offset, item.text));
        }

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
        insertItem(menu, index, MF_STRING | enabledWhen(!state_.frozen), first + kFreeze,
                   L"Freeze");
        insertItem(menu, index, MF_STRING | enabledWhen(state_.frozen), first + kUnfreeze,
                   L"Unfreeze");
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
    switch (offset) {
    case kUnfreeze:
    case kFreeze:
        if (state_.frozen == (offset == kUnfreeze))
            FreezeStorage(state_.path, offset == kFreeze);
        break;
    case kAnalyse:
        AnalyseAndDefragment(owner, state_.path);
        break;
    default:
        for (const KeyItem& item : kKeyItems)
            if (item.offset == offset && item.text && keyCommandRuns(item.command, state_))
                runKeyCommand(item.command, owner, state_);
    }
}

STDMETHODIMP StorageContextMenu::GetCommandString(UINT_PTR command, UINT type, UINT*, CHAR* name,
                                                  UINT size) {
    const CommandRow* row = commandAt(command);
    if (!row)
        return E_INVALIDARG;
    switch (type) {
    case GCS_VERBA:
        return copyBounded<char>(row->verb, name, size);
    case GCS_HELPTEXTA:
        return copyBounded<char>(row->help, name, size);
    case GCS_VERBW:
        return copyBounded<wchar_t>(row->verb, name, size);
    case GCS_HELPTEXTW:
        return copyBounded<wchar_t>(row->help, name, size);
    default:
        return S_OK;
    }
}

} // namespace cfx::storagefile
