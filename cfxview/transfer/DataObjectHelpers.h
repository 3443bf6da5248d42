// The clipboard formats of the library and the operations on any data object
// that the drop target, the transfer engine and the item commands share:
// the DWORD formats, the own-object marker, and reading a "Shell IDList
// Array" back into item lists and file-system paths.
#pragma once

#include "folder/StorageItemId.h"

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <string>
#include <vector>

namespace cfx::transfer {

// The formats that carry one 32-bit value, by their row in the table of names.
enum class DwordFormat : std::size_t {
    PerformedDropEffect = 0,
    PreferredDropEffect = 1,
    PasteSucceeded = 2,
    OwnObjectMarker = 3, // named by the storage folder's CLSID; 1 marks our objects
};

// The format's clipboard identifier, registered at each use; 0 when the
// registration fails.
UINT dwordFormatId(DwordFormat format) noexcept;

// Sets a 4-byte HGLOBAL of the format on data (the object takes the block);
// false when the block cannot be made or SetData fails.
bool setDataObjectDword(IDataObject* data, DwordFormat format, DWORD value) noexcept;

// Reads the format's value; false when the object has none.
bool getDataObjectDword(IDataObject* data, DwordFormat format, DWORD& value) noexcept;

// True when data was made by this library (the own-object marker is 1).
bool isOwnDataObject(IDataObject* data) noexcept;

// The "Shell IDList Array" of data: the parent's absolute list and the items'
// lists relative to it, cloned, in order. What parent and items held before is
// discarded. False when the object has no such format or the block is
// malformed (an offset or a list running past its end); raises E_OUTOFMEMORY.
bool readShellIdList(IDataObject* data, folder::ItemIdList& parent,
                     std::vector<folder::ItemIdList>& items);

// The items' full file-system paths, appended to paths in item order, as the
// parent folder's IShellFolder parses them (SHGDN_FORPARSING). Raises
// _com_error: E_FAIL when the parent has no file-system path, E_INVALIDARG for
// a name not returned as STRRET_WSTR, the shell's failure otherwise. Returns
// the number of paths appended.
std::size_t shellIdListToPaths(LPCITEMIDLIST parent, const std::vector<folder::ItemIdList>& items,
                               std::vector<std::wstring>& paths);

} // namespace cfx::transfer
