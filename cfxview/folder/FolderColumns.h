// The four detail columns of a storage folder's view and the texts of their
// cells: the column table that GetDetailsOf and GetDefaultColumnState read,
// the size and type texts, and the comparison the folder sorts by.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

namespace cfx::folder {

struct FolderColumn {
    const char* title; // handed to the view as an ANSI STRRET
    int width;         // in characters
    int format;
};

enum FolderColumnIndex : UINT { NameColumn, SizeColumn, TypeColumn, CommentColumn };

inline constexpr FolderColumn kFolderColumns[] = {
    {"Name", 40, LVCFMT_LEFT},
    {"Size", 10, LVCFMT_LEFT},
    {"Type", 20, LVCFMT_LEFT},
    {"Comment", 40, LVCFMT_LEFT},
};
inline constexpr UINT kFolderColumnCount = static_cast<UINT>(std::size(kFolderColumns));

// The size in whole kilobytes rounded up past each full kilobyte, then " Kb":
// 0 for 0 bytes, 1 up to 1024 bytes, (n >> 10) + 1 above.
std::wstring sizeText(std::uint64_t bytes);

// The registry's name for the type of a file name's extension, else the
// extension in capitals followed by " File", else "File".
std::wstring typeNameOf(const std::wstring& name);

// The registry's name for folders, else "Folder".
std::wstring folderTypeName();

// A comment as its cell shows it: at most 97 characters and "..." when longer
// than 100, with line breaks as spaces.
std::wstring commentCellText(std::wstring comment);

// The sign of the comparison of two texts by code units after folding only
// A to Z to lower case: no locale, so an accented capital stays unequal.
int compareFolded(const std::wstring& a, const std::wstring& b) noexcept;

} // namespace cfx::folder
