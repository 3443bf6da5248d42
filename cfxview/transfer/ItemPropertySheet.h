// The Properties of one storage item: a one-page sheet ("General", template
// 119) with the item's icon, name, type, size (files only) and comment, where
// the name and the comment are edited.
#pragma once

#include "ui/IconHandle.h"

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <string>

namespace cfx::folder {
class StorageFolder;
}

namespace cfx::transfer {

// One sheet's data; the page keeps a pointer to it in GWLP_USERDATA.
struct ItemPageData {
    bool applied = false; // OK was pressed
    bool isFile = false;
    bool nameChanged = false;
    std::wstring name;
    std::wstring typeText; // as the folder's Type column shows it
    ui::IconHandle icon;
    std::uint64_t size = 0; // files only
    bool commentChanged = false;
    std::wstring comment;
};

// Runs the modal sheet over owner; the sheet's result (applied). A name left
// empty discards both edits; a name or comment that differs only in the case
// of A to Z, or an emptied comment, is no change.
bool showItemPropertySheet(ItemPageData& data, HWND owner);

// The Properties command: the sheet for the selection's one item (any other
// count does nothing); OK stores a changed comment, then renames through the
// folder's SetNameOf. Raises what fails.
void showItemProperties(folder::StorageFolder& folder, HWND owner, IDataObject* selection);

} // namespace cfx::transfer
