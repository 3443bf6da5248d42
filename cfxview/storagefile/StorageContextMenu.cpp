#include "storagefile/StorageContextMenu.h"

namespace cfx::storagefile {

// The commands need the storage's state from the server; until they arrive the
// handler adds nothing to the menu.

STDMETHODIMP StorageContextMenu::Initialize(PCIDLIST_ABSOLUTE, IDataObject*, HKEY) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageContextMenu::QueryContextMenu(HMENU, UINT, UINT, UINT, UINT) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageContextMenu::InvokeCommand(CMINVOKECOMMANDINFO*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageContextMenu::GetCommandString(UINT_PTR, UINT, UINT*, CHAR*, UINT) {
    return E_NOTIMPL;
}

} // namespace cfx::storagefile
