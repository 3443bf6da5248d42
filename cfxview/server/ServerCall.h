// Calls on the storage server's objects: a failed call raises _com_error with
// the HRESULT and the description the server set for the interface called.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include "cfxstorage.h"

#include <string>

namespace cfx::server {

// Raises for a failed HRESULT; the description is taken only when the object
// says (ISupportErrorInfo) that the interface sets error information.
void checkServerCall(HRESULT hr, IUnknown* object, REFIID iid);

template <class Interface> void checkServerCall(HRESULT hr, Interface* object) {
    checkServerCall(hr, object, __uuidof(Interface));
}

// The storage object of the container file at path, opened on root.
Microsoft::WRL::ComPtr<IStorageObject> openStorage(IStorageServer* root, const std::wstring& path);

// A new root object of the storage server, for one operation; the server is
// reached in process, locally or remotely, whichever is registered (past a
// server on its way out: common/Activation.h).
Microsoft::WRL::ComPtr<IStorageServer> createRoot();

// The storage state rule: true when the storage at path is closed to the
// user, because the server holds it frozen (state 0) or knows nothing of it
// (state 2) while its Frozen property is set; in that last case the server is
// told again that it is frozen. Opens the storage on a root object of its own
// and asks for the state on a second one.
bool storageClosedToUser(BSTR path);

} // namespace cfx::server
