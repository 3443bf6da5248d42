// Where the browser is: a folder object with its item identifier list from
// the desktop and the name the shell shows for it; and how a path or an item
// identifier list becomes one.
//
// A file whose type names a folder class (HKCR\<ext> -> ProgID, or the
// ProgID's CurVer -> CLSID with a ShellFolder key) is opened the way Windows'
// Explorer opens it: that class is created and initialised with the file's
// item identifier list. Wine's shell never does this itself (its folders
// refuse to bind to a file), so every step of a path is taken here, from the
// desktop down, instead of asking the desktop folder for the whole list.
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <optional>
#include <string>

namespace cfxbrowse {

using ItemIdList = cfx::UniqueHandle<ITEMIDLIST*, &ILFree>;

ItemIdList cloneList(PCUIDLIST_RELATIVE list);

struct FolderLocation {
    ItemIdList absolute; // from the desktop
    Microsoft::WRL::ComPtr<IShellFolder> folder;
    std::wstring name; // as the shell shows it (SHGDN_NORMAL)
    // This folder or one above it came from a file's folder class: no file
    // below is looked at again, the folder class answers for its items.
    bool insideFile = false;
};

// The folder class the type of this file registers, if any.
std::optional<CLSID> folderClassOfFile(const std::wstring& path);

FolderLocation openPath(const std::wstring& path);
FolderLocation openAbsolute(PCIDLIST_ABSOLUTE list);
FolderLocation openRelative(const FolderLocation& from, PCUIDLIST_RELATIVE list);

// Whether an item of this folder opens as a folder: the folder says so, or
// the item is a file whose type names a folder class.
bool opensAsFolder(const FolderLocation& location, PCUITEMID_CHILD item);

// The item's name in its folder as the shell shows it (SHGDN_*).
std::wstring itemName(IShellFolder* folder, PCUITEMID_CHILD item, SHGDNF flags);

} // namespace cfxbrowse
