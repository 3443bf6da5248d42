// The registration body behind DllRegisterServer and DllUnregisterServer.
#pragma once

#include <windows.h>

namespace cfx::storagefile {

// Writes (register true) or removes the library's classes, file type and shell
// extension entries.
HRESULT registerServer(bool install);

} // namespace cfx::storagefile
