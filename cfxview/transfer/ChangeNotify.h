// Telling the shell that an item of a storage changed, so that every view of
// the folder follows.
#pragma once

#include <windows.h>
#include <shlobj.h>

namespace cfx::transfer {

enum class ChangeKind { Created = 0, Deleted = 1, NameChanged = 2, Updated = 3 };

// folder: an absolute list (may be null); item: the item's list relative to
// folder, or folder itself for a change of the folder. The item is a folder
// when it is the folder itself, else when its last identifier is one of ours
// of kind folder; anything else (a foreign identifier too) is a file. For
// NameChanged, newItem is the renamed item's list relative to folder. Sends
// SHChangeNotify with SHCNF_IDLIST | SHCNF_FLUSH; raises E_OUTOFMEMORY.
void notifyItemChange(ChangeKind kind, LPCITEMIDLIST folder, LPCITEMIDLIST item,
                      LPCITEMIDLIST newItem = nullptr);

} // namespace cfx::transfer
