// The context menu handler of a storage file: freezing, defragmentation and
// the key commands.
#pragma once

#include "common/ComObjectBase.h"
#include "storagefile/StorageState.h"

#include <shlobj.h>

#include <string>

namespace cfx::storagefile {

class StorageContextMenu final : public ComObject<IShellExtInit, IContextMenu> {
public:
    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY progId) override;

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first, UINT last,
                                  UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* name,
                                  UINT size) override;

private:
    void run(UINT offset, HWND owner);

    folder::ItemIdList folder_;
    StorageState state_;
};

} // namespace cfx::storagefile
