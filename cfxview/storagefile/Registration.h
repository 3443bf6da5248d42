// The registration body behind DllRegisterServer and DllUnregisterServer.
#pragma once

#include <windows.h>

namespace cfx::storagefile {

// Writes (install true) or removes the library's file type, classes, shell
// extension approvals, icon overlay identifiers and the shell's cache of the
// classes' interfaces. A registration that fails is taken back; an
// unregistration goes on past failures. Returns the first failure.
HRESULT registerServer(bool install);

} // namespace cfx::storagefile
