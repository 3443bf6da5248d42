// The callback of the item menu the storage folder makes with the shell's
// default folder menu (CDefFolderMenu_Create2): the shell asks it to add the
// library's item commands ("Open", "Check integrity", "Extract to...") and to
// carry out those and the standard ones (Delete, Cut, Copy, Paste,
// Properties), and asks it for their help texts.
#pragma once

#include <shlobj.h>

namespace cfx::folder {

HRESULT CALLBACK itemMenuCallback(IShellFolder* folder, HWND owner, IDataObject* selection,
                                  UINT message, WPARAM wParam, LPARAM lParam);

// How many DFM_MERGECONTEXTMENU the callback has taken on the calling thread:
// the item menu compares it around the shell menu's QueryContextMenu to learn
// whether the shell drove the callback.
unsigned itemMenuMergesOnThisThread() noexcept;

} // namespace cfx::folder
