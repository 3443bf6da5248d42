// The context menu handler of a storage file: freezing, defragmentation and
// the key commands.
#pragma once

#include "common/ComObjectBase.h"
#include "common/Handles.h"
#include "folder/StorageItemId.h"

#include <shlobj.h>

#include <string>

namespace cfx::storagefile {

// The storage file a shell extension is initialised for: the folder's path
// when the shell gives one (kept in *folderCopy, a clone), else the single
// file of the data object's drop list. More than one file is E_INVALIDARG,
// an empty path E_FAIL (both raised).
std::wstring selectedStorage(PCIDLIST_ABSOLUTE folder, IDataObject* data,
                             folder::ItemIdList& folderCopy);

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
    std::wstring path_;
    Certificate installedKey_;
    ULONGLONG flags_ = 0;
    bool frozen_ = false;
};

} // namespace cfx::storagefile
