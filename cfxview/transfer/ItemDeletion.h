// Deleting items of a storage folder: the Delete command (confirming, with a
// progress dialog) and the unconfirmed form that completes a move out of the
// storage.
#pragma once

#include <windows.h>
#include <objidl.h>

namespace cfx::folder {
class StorageFolder;
}

namespace cfx::transfer {

// Deletes the items of selection's "Shell IDList Array" from folder. The
// items are looked up first; when one is missing nothing is deleted.
void deleteItems(folder::StorageFolder& folder, HWND owner, IDataObject* selection, bool confirm);

} // namespace cfx::transfer
