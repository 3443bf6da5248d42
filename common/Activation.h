// Activation of a class whose local server may be on its way out.
//
// On Windows COM sends an activation that meets a leaving server to a new
// one. Wine's COM (8) fails it instead: with E_FAIL when the class was revoked
// after the activation had found it, with an RPC error when the process ended
// under it (the storage server's main tells more). Such a failure is tried
// again, twice at most: by then COM has the class of a running server, or
// none and starts one.
#pragma once

#include <windows.h>

namespace cfx {

// CoGetClassObject for the context, then CreateInstance of the interface.
HRESULT activate(REFCLSID clsid, DWORD context, REFIID iid, void** out) noexcept;

} // namespace cfx
