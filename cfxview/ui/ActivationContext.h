// The library's activation context: made once from the library's own manifest
// (resource 2, which asks for Common Controls version 6) and activated around
// the creation of every dialog, so that the dialogs get the version-6 controls
// whatever the host process itself asked for.
#pragma once

#include "common/Handles.h"

#include <windows.h>

namespace cfx::ui {

// CreateActCtxW fails with INVALID_HANDLE_VALUE: the holder keeps null instead.
using ActivationContextHandle = UniqueHandle<HANDLE, &ReleaseActCtx>;

class ActivationContext {
public:
    // The context of a module's manifest resource 2. The module must be loaded
    // as an image (not as a data file). Raises win_except on failure.
    explicit ActivationContext(HMODULE module);

    HANDLE get() const noexcept { return handle_.get(); }

    // The library's own context (cfx::module::instance()), made on first use
    // and kept until the library unloads. Raises like the constructor; a
    // failed attempt is tried again on the next call.
    static const ActivationContext& library();

private:
    ActivationContextHandle handle_;
};

// Activates a context on the calling thread for the lifetime of the scope;
// scopes nest. Raises win_except when activation fails.
class ActivationScope {
public:
    ActivationScope() : ActivationScope(ActivationContext::library()) {}
    explicit ActivationScope(const ActivationContext& context);
    ~ActivationScope();
    ActivationScope(const ActivationScope&) = delete;
    ActivationScope& operator=(const ActivationScope&) = delete;

private:
    ULONG_PTR cookie_ = 0;
};

} // namespace cfx::ui
