#include "transfer/Clipboard.h"

#include "folder/StorageFolder.h"
#include "server/ErrorReport.h"
#include "transfer/DataObjectHelpers.h"
#include "transfer/TransferEngine.h"

#include <ole2.h>
#include <shlobj.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

namespace {

bool putOnClipboard(HWND owner, IDataObject* selection, DWORD effect, const wchar_t* failure) {
    const HRESULT hr = OleSetClipboard(selection);
    if (FAILED(hr)) {
        server::showError(owner, static_cast<DWORD>(hr), failure);
        return false;
    }
    // The view draws the items as cut until the clipboard changes.
    if (effect == DROPEFFECT_MOVE)
        SHShellFolderView_Message(owner, SFVM_SETCLIPBOARD, static_cast<LPARAM>(DFM_CMD_MOVE));
    setDataObjectDword(selection, DwordFormat::PreferredDropEffect, effect);
    return true;
}

} // namespace

bool copyToClipboard(HWND owner, IDataObject* selection) {
    return putOnClipboard(owner, selection, DROPEFFECT_COPY,
                          L"Unable to copy selected items to clipboard");
}

bool cutToClipboard(HWND owner, IDataObject* selection) {
    return putOnClipboard(owner, selection, DROPEFFECT_MOVE,
                          L"Unable to cut selected items to clipboard");
}

bool pasteIntoFolder(folder::StorageFolder& folder) {
    ComPtr<IDataObject> data;
    if (FAILED(OleGetClipboard(&data)) || !data)
        return false;
    return importDataObject(folder, folder.ownerWindow(), data.Get());
}

} // namespace cfx::transfer
