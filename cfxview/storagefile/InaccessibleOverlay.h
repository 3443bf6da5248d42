// Marks storages the user cannot reach: a guest account, or no storage server.
#pragma once

#include "storagefile/IconOverlay.h"

namespace cfx {

class InaccessibleOverlay final : public IconOverlay {
public:
    InaccessibleOverlay() noexcept;
};

} // namespace cfx
