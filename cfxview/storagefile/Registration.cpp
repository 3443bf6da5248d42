#include "storagefile/Registration.h"

namespace cfx::storagefile {

// The registry scripts and their walker are not written yet: nothing is
// touched, and regsvr32 reports the failure.
HRESULT registerServer(bool) {
    return E_NOTIMPL;
}

} // namespace cfx::storagefile
