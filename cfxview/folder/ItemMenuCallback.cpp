#include "folder/ItemMenuCallback.h"

#include "server/ErrorReport.h"

namespace cfx::folder {

using namespace server;

namespace {

// The item commands (open, check integrity, extract, and the shell's delete,
// cut, copy, paste and properties) arrive with the item commands themselves.
// Until then the table is empty: nothing is added to the menu, and every
// command is one the table does not have.
HRESULT invokeCommand(HWND, IDataObject*, WPARAM) {
    return E_NOTIMPL;
}

} // namespace

HRESULT CALLBACK itemMenuCallback(IShellFolder*, HWND owner, IDataObject* selection, UINT message,
                                  WPARAM wParam, LPARAM) {
    HRESULT hr = E_NOTIMPL;
    switch (message) {
    case DFM_MERGECONTEXTMENU:
        hr = S_OK;
        break;
    case DFM_INVOKECOMMAND:
        hr = invokeCommand(owner, selection, wParam);
        break;
    default:
        return E_NOTIMPL;
    }
    if (hr != S_OK)
        showError(owner, static_cast<DWORD>(hr), L"Unable to complete operation");
    return hr;
}

} // namespace cfx::folder
