// Freezing a storage: the server lets go of the file and refuses to open it,
// so that the user can rename, move or delete it; unfreezing makes it usable
// again. The state lives in the storage's Frozen property and in the server's
// own record of the path. Everything runs from the file's path on root
// objects made for the call.
#pragma once

#include "cfxstorage.h"

#include <windows.h>

#include <string>

namespace cfx::storagefile {

// The server's record decides; where it has none, the Frozen property does
// (and a set one is told to the server again).
bool IsStorageFrozen(IStorageObject* storage, const std::wstring& path);

// Sets the state and redraws the file in the shell; failures are raised. A
// storage already in the state is only opened.
void FreezeStorage(const std::wstring& path, bool freeze);

// Tells the shell the file went and came back, so that it redraws the file
// and its overlay.
void NotifyStorageChanged(const std::wstring& path);

// The property page's two commands: FreezeStorage with a failure shown in the
// error box after "Unable to freeze the storage." (or "... unfreeze ...").
// True when the state was set.
bool freezeCommand(HWND page, const std::wstring& path);
bool unfreezeCommand(HWND page, const std::wstring& path);

} // namespace cfx::storagefile
