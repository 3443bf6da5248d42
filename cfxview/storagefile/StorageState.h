// The storage file the storage file's shell handlers act on, the state they
// show of it, and the key commands both offer.
#pragma once

#include "common/Handles.h"
#include "folder/StorageItemId.h"

#include <shlobj.h>

#include <string>

namespace cfx::storagefile {

// The storage file a shell extension is initialised for: the folder's path
// when the shell gives one (kept in *folderCopy, a clone), else the single
// file of the data object's drop list. More than one file is E_INVALIDARG,
// an empty path E_FAIL (both raised).
std::wstring selectedStorage(PCIDLIST_ABSOLUTE folder, IDataObject* data,
                             folder::ItemIdList& folderCopy);

// The storage's state as read from the server: at Initialize, and again for
// the key after a key command of the property page.
struct StorageState {
    std::wstring path;
    Certificate installedKey;
    ULONGLONG flags = 0;
    bool frozen = false;

    // The selected storage (see selectedStorage) with its whole state.
    static StorageState read(PCIDLIST_ABSOLUTE folder, IDataObject* data,
                             folder::ItemIdList& folderCopy);
    void readKeyState();
    bool attached() const noexcept;
    bool installed() const noexcept { return bool(installedKey); }
};

enum class KeyCommand { View, Delete, Attach, Detach, Install, Export };

// Whether a command acts on the state; one that does not does nothing.
bool keyCommandRuns(KeyCommand command, const StorageState& state) noexcept;
// How menu items and buttons show: as the command runs, but installing only
// while no matching key is installed.
bool keyCommandEnabled(KeyCommand command, const StorageState& state) noexcept;
// Runs the command for the state's storage; its failures are raised.
void runKeyCommand(KeyCommand command, HWND owner, const StorageState& state);

} // namespace cfx::storagefile
