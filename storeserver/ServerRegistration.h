// "cfxstore.exe /RegServer" and "/UnregServer": the server class's
// LocalServer32 for the current user, and the proxy/stub DLL of the storage
// interfaces that lies beside the program.
#pragma once

#include <windows.h>

namespace cfx::storeserver {

HRESULT registerServer();
HRESULT unregisterServer();

} // namespace cfx::storeserver
