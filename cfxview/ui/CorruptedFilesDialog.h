// The "List of corrupted files" dialog (template 118): the files an integrity
// check found damaged, each with a check box, and a button that deletes the
// checked ones behind a progress dialog.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cfx::ui {

struct CorruptedFile {
    std::uint32_t tag = 0; // the caller's, handed back to its delete function
    std::wstring name;
};

// Deletes one listed file; true on success. It shows its own message when it
// fails. window is the list dialog.
using DeleteCorruptedFile = bool (*)(HWND window, const std::wstring& name, std::uint32_t tag,
                                     void* context);

// Everything the dialog works on; kept on its window as "DIALOG_DATA_PROP".
struct CorruptedFilesData {
    HMODULE module = nullptr;
    std::vector<CorruptedFile> files;
    DeleteCorruptedFile deleteFile = nullptr;
    void* context = nullptr;
    bool deletedAny = false;
};

// Runs the dialog modally over owner with the library's activation context;
// true when at least one file was deleted. A dialog that cannot be created
// raises win_except.
bool ShowCorruptedFiles(std::vector<CorruptedFile> files, HMODULE module, HWND owner,
                        DeleteCorruptedFile deleteFile, void* context);

} // namespace cfx::ui
