// The class object the server registers for the storage server's class.
#pragma once

#include "module/ComObjectBase.h"

namespace cfx::storeserver {

class ServerFactory : public ComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    // Whether a client has made an object since the server started.
    bool served() const noexcept { return served_; }

private:
    bool served_ = false;
};

} // namespace cfx::storeserver
