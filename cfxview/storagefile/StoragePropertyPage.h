// The "Coffrex tools" page of a storage file's Properties dialog.
#pragma once

#include "common/ComObjectBase.h"
#include "storagefile/StorageState.h"

#include <prsht.h>
#include <shlobj.h>

#include <string>

namespace cfx::storagefile {

class StoragePropertyPage final : public ComObject<IShellExtInit, IShellPropSheetExt> {
public:
    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY progId) override;

    // IShellPropSheetExt
    STDMETHODIMP AddPages(LPFNSVADDPROPSHEETPAGE addPage, LPARAM lParam) override;
    STDMETHODIMP ReplacePage(EXPPS pageId, LPFNSVADDPROPSHEETPAGE replaceWith,
                             LPARAM lParam) override;

private:
    static INT_PTR CALLBACK pageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static UINT CALLBACK pageCallback(HWND, UINT message, PROPSHEETPAGEW* page);
    INT_PTR handle(UINT message, WPARAM wParam);
    void command(int id);
    // Runs a command, showing a failure that escapes it after prefix.
    template <class Action> void guardedCommand(const wchar_t* prefix, Action&& action);
    void updateFreezeButtons(bool frozen);
    void refreshKeyButtons();
    void enable(int id, bool enabled) const;

    folder::ItemIdList folder_;
    StorageState state_;
    HWND pageWindow_ = nullptr;
};

} // namespace cfx::storagefile
