#include "folder/ItemMenuCallback.h"

#include "common/Exceptions.h"
#include "folder/StorageFolder.h"
#include "folder/StorageItemId.h"
#include "server/ErrorReport.h"
#include "transfer/Clipboard.h"
#include "transfer/DataObjectHelpers.h"
#include "transfer/ItemCommands.h"
#include "transfer/ItemDeletion.h"
#include "transfer/ItemPropertySheet.h"
#include "transfer/TransferEngine.h"

#include <cwchar>
#include <iterator>
#include <vector>

namespace cfx::folder {

using namespace server;

namespace {

thread_local unsigned mergesOnThisThread = 0;

// The commands the callback adds, by their offset from the first id the shell offers.
struct ItemCommand {
    const wchar_t* text;
    const wchar_t* help; // none for Open
};
constexpr ItemCommand kItemCommands[] = {
    {L"Open", nullptr},
    {L"Check integrity", L"Test whether selected file or group of files were corrupted or not."},
    {L"Extract to...", L"Extract selected object(s) to a folder on the computer."},
};
enum : UINT { OpenCommand, CheckCommand, ExtractCommand };

enum class SelectionKind { OneFile = 1, OneFolder, Files, Folders, Mixed };

SelectionKind selectionKind(IDataObject* selection) {
    ItemIdList parent;
    std::vector<ItemIdList> items;
    transfer::readShellIdList(selection, parent, items);
    std::size_t folders = 0;
    for (const ItemIdList& item : items)
        folders += kindOf(lastItem(item.get())) == ItemKind::Folder;
    const std::size_t files = items.size() - folders;
    if (items.size() == 1)
        return folders ? SelectionKind::OneFolder : SelectionKind::OneFile;
    if (folders == 0)
        return SelectionKind::Files;
    return files == 0 ? SelectionKind::Folders : SelectionKind::Mixed;
}

// Windows 2000 and XP, and versions the library does not know, are below Vista.
bool belowVista() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return !GetVersionExW(&version) || version.dwMajorVersion != 6;
}

void insertCommand(const QCMINFO& merge, UINT position, UINT offset) {
    checkLastError(InsertMenuW(merge.hmenu, position, MF_BYPOSITION, merge.idCmdFirst + offset,
                               kItemCommands[offset].text));
}

HRESULT mergeCommands(StorageFolder& folder, IDataObject* selection, UINT flags, QCMINFO& merge) {
    const SelectionKind kind = selectionKind(selection);
    folder.rememberFirstCommand(merge.idCmdFirst);
    if (kind == SelectionKind::OneFolder) {
        UINT position = merge.indexMenu;
        if (belowVista() && (flags & (CMF_DEFAULTONLY | 0x20000)))
            insertCommand(merge, position++, OpenCommand);
        insertCommand(merge, position++, CheckCommand);
        insertCommand(merge, position, ExtractCommand);
    } else {
        // Both at the same place: "Extract to..." ends up above "Check integrity".
        insertCommand(merge, merge.indexMenu, CheckCommand);
        insertCommand(merge, merge.indexMenu, ExtractCommand);
    }
    merge.idCmdFirst += static_cast<UINT>(std::size(kItemCommands));
    return S_OK;
}

HRESULT invokeCommand(StorageFolder& folder, HWND owner, IDataObject* selection, WPARAM id) {
    // The standard commands are negative numbers in a UINT.
    switch (static_cast<UINT>(id)) {
    case OpenCommand:
        folder.openItem(selection);
        return S_OK;
    case CheckCommand:
        transfer::checkIntegrity(folder, owner, selection);
        return S_OK;
    case ExtractCommand:
        transfer::extractToFolder(folder, owner, selection);
        return S_OK;
    case DFM_CMD_DELETE:
        transfer::deleteItems(folder, owner, selection, true);
        return S_OK;
    case DFM_CMD_MOVE:
        transfer::cutToClipboard(owner, selection);
        return S_OK;
    case DFM_CMD_COPY:
        transfer::copyToClipboard(owner, selection);
        return S_OK;
    case DFM_CMD_PROPERTIES:
        transfer::showItemProperties(folder, owner, selection);
        return S_OK;
    case DFM_CMD_PASTE:
        transfer::importDataObject(folder, owner, selection);
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

HRESULT copyHelpText(WPARAM wParam, LPARAM buffer) {
    const UINT offset = LOWORD(wParam), size = HIWORD(wParam);
    if (offset >= std::size(kItemCommands) || !kItemCommands[offset].help || !buffer)
        return E_NOTIMPL;
    const wchar_t* help = kItemCommands[offset].help;
    if (std::wcslen(help) + 1 > size)
        return E_NOTIMPL;
    std::wcscpy(reinterpret_cast<wchar_t*>(buffer), help);
    return S_OK;
}

} // namespace

unsigned itemMenuMergesOnThisThread() noexcept {
    return mergesOnThisThread;
}

HRESULT CALLBACK itemMenuCallback(IShellFolder* shellFolder, HWND owner, IDataObject* selection,
                                  UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == DFM_GETHELPTEXTW)
        return copyHelpText(wParam, lParam);
    if (message != DFM_MERGECONTEXTMENU && message != DFM_INVOKECOMMAND)
        return E_NOTIMPL;
    if (message == DFM_MERGECONTEXTMENU)
        ++mergesOnThisThread;
    const HRESULT hr = guarded([&]() -> HRESULT {
        // The shell hands back the folder the menu was made with: ours.
        auto* folder = dynamic_cast<StorageFolder*>(notNull(shellFolder));
        notNull(folder);
        if (message == DFM_MERGECONTEXTMENU)
            return mergeCommands(*folder, selection, static_cast<UINT>(wParam),
                                 *notNull(reinterpret_cast<QCMINFO*>(lParam)));
        return invokeCommand(*folder, owner, selection, wParam);
    });
    if (hr != S_OK)
        showError(owner, static_cast<DWORD>(hr), L"Unable to complete operation");
    return hr;
}

} // namespace cfx::folder
