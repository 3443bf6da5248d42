// The class factory: one is made for every DllGetClassObject call and serves
// the one CLSID it was made for.
#pragma once

#include "common/ComObjectBase.h"

namespace cfx::module {

class ClassFactory final : public ComObject<IClassFactory> {
public:
    explicit ClassFactory(REFCLSID clsid) noexcept : clsid_(clsid) {}

    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    CLSID clsid_;
};

} // namespace cfx::module
