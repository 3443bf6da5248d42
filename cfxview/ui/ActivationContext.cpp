#include "ui/ActivationContext.h"

#include "common/Exceptions.h"
#include "module/Module.h"
#include "ui/resource.h"

namespace cfx::ui {

ActivationContext::ActivationContext(HMODULE module) {
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.hModule = module;
    request.lpResourceName = MAKEINTRESOURCEW(IDR_MANIFEST);
    HANDLE created = CreateActCtxW(&request);
    if (created == INVALID_HANDLE_VALUE)
        throwLastError();
    handle_.reset(created);
}

const ActivationContext& ActivationContext::library() {
    // Made under the compiler's guard for local statics: one thread makes it,
    // others wait; an exception leaves it unmade for the next caller.
    static const ActivationContext context(module::instance());
    return context;
}

ActivationScope::ActivationScope(const ActivationContext& context) {
    if (!ActivateActCtx(context.get(), &cookie_))
        throwLastError();
}

ActivationScope::~ActivationScope() {
    DeactivateActCtx(0, cookie_);
}

} // namespace cfx::ui
