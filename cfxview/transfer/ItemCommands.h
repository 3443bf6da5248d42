// The item menu's commands on a storage folder that are not transfers:
// making a new folder, extracting the selection to a folder of the computer,
// and checking the integrity of stored files against their checksums.
#pragma once

#include <windows.h>
#include <objidl.h>

namespace cfx::folder {
class StorageFolder;
}

namespace cfx::transfer {

// Makes "New Folder" (or "New Folder (n)" for the first n free) in folder and
// opens it for renaming in the folder's view. A failure is shown in the error
// box ("Unable to complete operation"), never raised.
void newFolder(folder::StorageFolder& folder);

// Asks for a folder of the computer and drops the selection on it as a copy;
// cancelling the question ends the command. Raises what fails.
void extractToFolder(folder::StorageFolder& folder, HWND owner, IDataObject* selection);

// Compares the selected files, and every file below the selected folders,
// with their stored checksums behind a progress dialog, then says that all is
// well or lists the damaged files for deletion. Raises what fails.
void checkIntegrity(folder::StorageFolder& folder, HWND owner, IDataObject* selection);

} // namespace cfx::transfer
