// cfxview.dll as the storage folder's tests load it, and a storage folder
// opened the way the shell opens one.
#pragma once

#include "support/LoadedLibrary.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

namespace cfx::test {

LoadedLibrary& cfxview(); // loaded once for the whole test program

// Made by the library's class factory and initialised with the file
// (expecting `initialized`); when `withView`, its view asked for, as the shell
// does before it lists a folder (which unlocks the storage).
Microsoft::WRL::ComPtr<IShellFolder2>
openStorageFolder(const std::wstring& path, bool withView = true, HRESULT initialized = S_OK);

// The shell's change notifications below root while action runs, as "event
// first second": the last names of the event's two lists when they are the
// library's item identifiers, else "-".
std::vector<std::wstring> changeNotificationsDuring(LPCITEMIDLIST root,
                                                    const std::function<void()>& action);

} // namespace cfx::test
