#include "ui/DialogActivation.h"

#include "module/Module.h"

namespace cfx::ui {

DialogActivation::DialogActivation(HMODULE module) noexcept {
    try {
        if (module && module == module::instance()) {
            scope_.emplace(ActivationContext::library());
        } else {
            own_.emplace(module);
            scope_.emplace(*own_);
        }
    } catch (...) {
        // No manifest, or no context to activate: the dialog still opens.
    }
}

} // namespace cfx::ui
