// Calls on the storage server's objects: a failed call raises _com_error with
// the HRESULT and the description the server set for the interface called.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace cfx {

// Raises for a failed HRESULT; the description is taken only when the object
// says (ISupportErrorInfo) that the interface sets error information.
void checkServerCall(HRESULT hr, IUnknown* object, REFIID iid);

template <class Interface> void checkServerCall(HRESULT hr, Interface* object) {
    checkServerCall(hr, object, __uuidof(Interface));
}

} // namespace cfx
