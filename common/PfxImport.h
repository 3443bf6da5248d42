// Importing a key file: a PKCS#12 (".pfx") file's certificates with their
// private keys, for the library's key commands and for cfxtool alike.
#pragma once

#include "common/Handles.h"

#include <windows.h>

#include <vector>

namespace cfx {

// Imports the file's certificates, their private keys going into the current
// user's key containers, exportable; under Wine each key into a container of
// its own. A null password tries the empty one, then none at all. Failures
// raise win_except (a wrong password ERROR_INVALID_PASSWORD).
std::vector<Certificate> ImportPfxBlob(const std::vector<BYTE>& pfx, const wchar_t* password);

} // namespace cfx
