// Making the storage: the key installed when it comes from a key file, the
// placeholder replaced, the storage created by the storage server (through
// its COM interfaces only), a copy of the key attached when asked, and the
// shell told of the new file.
#pragma once

#include "StorageKey.h"
#include "StorageTarget.h"

namespace cfx::wizard {

// Raises DescribedError with the server's description of a failed call, the
// system's text of the HRESULT when the server gave none.
void checkServer(HRESULT hr);

void makeStorage(StorageTarget& target, const ChosenKey& key, bool attach);

// The text for the failure being handled: what the server or the system
// says of it, else its HRESULT. Call only inside a catch block.
std::wstring currentFailureText();

} // namespace cfx::wizard
