// The class object the server registers for the storage server's class.
#pragma once

#include "module/ComObjectBase.h"

namespace cfx::storeserver {

class ServerFactory : public ComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};

} // namespace cfx::storeserver
