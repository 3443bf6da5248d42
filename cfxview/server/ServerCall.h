// Calls on the storage server's objects: a failed call raises _com_error with
// the HRESULT and the description the server set for the interface called.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include "cfxstorage.h"

namespace cfx {

// Raises for a failed HRESULT; the description is taken only when the object
// says (ISupportErrorInfo) that the interface sets error information.
void checkServerCall(HRESULT hr, IUnknown* object, REFIID iid);

template <class Interface> void checkServerCall(HRESULT hr, Interface* object) {
    checkServerCall(hr, object, __uuidof(Interface));
}

// A new root object of the storage server from the class registered for the
// context. Under Wine an activation that meets a server on its way out fails
// (the server's main tells how) instead of reaching a new one, as it would on
// Windows; such a failure is tried again, twice at most.
HRESULT activateStorageServer(DWORD context, IStorageServer** root) noexcept;

// A new root object of the storage server, for one operation; the server is
// reached in process, locally or remotely, whichever is registered.
Microsoft::WRL::ComPtr<IStorageServer> createRoot();

} // namespace cfx
