// The "Defragmentation..." command: measures how much of a storage file is in
// use, tells the user the fragmentation, and on request has the server
// rewrite the file compactly. Each step runs on a worker thread of its own
// behind a wait dialog; a storage that was not frozen is frozen for the time
// of each step, so that the file is free to be read and rewritten.
#pragma once

#include "common/Handles.h"

#include <windows.h>

#include <string>

namespace cfx::storagefile {

// What one command shares with its workers. A worker writes its results and
// then posts doneMessage or failedMessage to its dialog; the command reads
// them only after the dialog has ended.
struct DefragContext {
    // Reads whether the storage is frozen and registers the two messages.
    explicit DefragContext(std::wstring storagePath);
    // Waits for the last worker, which has nothing left to do but end.
    virtual ~DefragContext();
    DefragContext(const DefragContext&) = delete;
    DefragContext& operator=(const DefragContext&) = delete;

    std::wstring path;
    bool frozenAtStart = false;
    HWND analysisWindow = nullptr;
    ULONGLONG usableSize = 0; // the file's size less the compound file's fixed 20480 bytes
    ULONGLONG usedSize = 0;   // at most usableSize
    bool analysed = false;
    bool defragmented = false;
    HWND defragWindow = nullptr;
    UINT doneMessage = 0;   // wParam, lParam 0
    UINT failedMessage = 0; // wParam the HRESULT, lParam the text naming the step
    KernelHandle worker;
};

// Runs the command over owner; reports its own failures in the error box.
void AnalyseAndDefragment(HWND owner, const std::wstring& path);

// The bytes a compound file puts to use: 104 for every element, the exact
// size of metadata streams (names starting with U+0005), whole 4096-byte
// sectors for the others (one more for a size that is a multiple), over all
// sub-storages. The file must not be open elsewhere.
ULONGLONG MeasureUsedSpace(const std::wstring& path);

} // namespace cfx::storagefile
