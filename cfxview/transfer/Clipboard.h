// Cut, Copy and Paste between a storage folder and the system clipboard.
#pragma once

#include <windows.h>
#include <objidl.h>

namespace cfx::folder {
class StorageFolder;
}

namespace cfx::transfer {

// Puts the selection's data object on the clipboard with "Preferred
// DropEffect" = copy; a failure is shown in the error box ("Unable to copy
// selected items to clipboard"). True when the clipboard took it.
bool copyToClipboard(HWND owner, IDataObject* selection);

// The same for a move ("Unable to cut selected items to clipboard"); the
// folder view at owner draws the items as cut.
bool cutToClipboard(HWND owner, IDataObject* selection);

// The folder background's Paste: imports the clipboard's data object into
// folder with the effect it prefers (copy when it names none). False without
// a message when the clipboard cannot be read.
bool pasteIntoFolder(folder::StorageFolder& folder);

} // namespace cfx::transfer
