// Copying and moving files and folders of the file system into a storage,
// with a progress dialog, overwrite questions and a cancel that loses
// nothing: the single entry for drops, pastes and the item menu's Paste.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <string>

namespace cfx::folder {
class StorageFolder;
}

namespace cfx::transfer {

// Imports the file-system items of data's "Shell IDList Array" into folder.
// effect, when given, holds the requested DROPEFFECT (only its move bit
// counts) and receives the effect performed: DROPEFFECT_NONE when anything
// failed or nothing was transferred. Without it the effect is data's
// "Preferred DropEffect" (copy when absent). A move that succeeded is told to
// data ("Performed DropEffect", "Paste Succeeded"). Failures are shown to the
// user; returns true when every top-level item was transferred.
bool importDataObject(folder::StorageFolder& folder, HWND owner, IDataObject* data,
                      DWORD* effect = nullptr);

// A byte count as text: mode 0 "1 234 567", mode 1 "1,234,567", mode 2
// "1023 bytes", "1.18 Mb" (units Kb, Mb, Gb, Tb); any other mode "".
std::wstring formatByteSize(std::uint64_t count, int mode);

} // namespace cfx::transfer
