// The class object the server registers for the storage server's class, and
// the server's lock count: every live object of the process (each counts
// itself once the server has named the count) and every outstanding
// LockServer lock. The server leaves when no client holds any of them.
#pragma once

#include "common/ComObjectBase.h"

namespace cfx::storeserver {

volatile LONG& serverLockCount() noexcept;

class ServerFactory : public ComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};

} // namespace cfx::storeserver
