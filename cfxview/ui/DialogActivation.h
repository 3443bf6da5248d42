// Activates, for a scope, the activation context a dialog of a given module
// runs with: the library's own context when the module is the library, else
// one made from that module's manifest for the scope. A module without a
// manifest runs its dialogs without one (the system's common controls).
#pragma once

#include "ui/ActivationContext.h"

#include <windows.h>

#include <optional>

namespace cfx::ui {

class DialogActivation {
public:
    explicit DialogActivation(HMODULE module) noexcept;
    DialogActivation(const DialogActivation&) = delete;
    DialogActivation& operator=(const DialogActivation&) = delete;

    bool active() const noexcept { return scope_.has_value(); }

private:
    // Deactivated before the context it may own is released.
    std::optional<ActivationContext> own_;
    std::optional<ActivationScope> scope_;
};

} // namespace cfx::ui
