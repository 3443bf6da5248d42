// The callback of the item menu the storage folder makes with the shell's
// default folder menu (CDefFolderMenu_Create2): the shell asks it to add the
// library's item commands and to carry out the commands it is given.
#pragma once

#include <shlobj.h>

namespace cfx::folder {

HRESULT CALLBACK itemMenuCallback(IShellFolder* folder, HWND owner, IDataObject* selection,
                                  UINT message, WPARAM wParam, LPARAM lParam);

} // namespace cfx::folder
