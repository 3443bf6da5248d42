// Gives every imported private key a key container of its own under Wine.
//
// Windows' PKCS#12 import puts each private key into a new key container.
// Wine's (8) puts every one into the user's single default container, so the
// second key imported replaces the first, and the first certificate's key
// provider information then names a container that holds someone else's key:
// its storages no longer open. Right after an import, under Wine only, these
// functions move each imported key into a container named after its
// certificate's key identifier and point the certificate at it. On Windows
// nothing calls them.
#pragma once

#include "common/Handles.h"

#include <vector>

namespace cfx {

// After PFXImportCertStore: the certificates it imported.
void moveImportedKeysToOwnContainers(const std::vector<Certificate>& imported);

// After the import wizard, which has already put its certificates into "MY":
// those whose key provider information names the default container and whose
// public key is the one that container now holds.
void moveWizardImportedKeysToOwnContainers();

} // namespace cfx
