#include "storagefile/StoragePropertyPage.h"

namespace cfx::storagefile {

// The page needs the storage's state from the server; until it arrives the
// handler adds no page.

STDMETHODIMP StoragePropertyPage::Initialize(PCIDLIST_ABSOLUTE, IDataObject*, HKEY) {
    return E_NOTIMPL;
}

STDMETHODIMP StoragePropertyPage::AddPages(LPFNSVADDPROPSHEETPAGE, LPARAM) {
    return E_NOTIMPL;
}

STDMETHODIMP StoragePropertyPage::ReplacePage(EXPPS, LPFNSVADDPROPSHEETPAGE, LPARAM) {
    return E_NOTIMPL;
}

} // namespace cfx::storagefile
