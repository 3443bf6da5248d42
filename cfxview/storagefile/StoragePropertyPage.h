// The "Coffrex tools" page of a storage file's Properties dialog.
#pragma once

#include "common/ComObjectBase.h"

#include <shlobj.h>

namespace cfx {

class StoragePropertyPage final : public ComObject<IShellExtInit, IShellPropSheetExt> {
public:
    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY progId) override;

    // IShellPropSheetExt
    STDMETHODIMP AddPages(LPFNSVADDPROPSHEETPAGE addPage, LPARAM lParam) override;
    STDMETHODIMP ReplacePage(EXPPS pageId, LPFNSVADDPROPSHEETPAGE replaceWith,
                             LPARAM lParam) override;
};

} // namespace cfx
