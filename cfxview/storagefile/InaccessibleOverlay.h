// Marks storages the user cannot reach: a guest account, or no storage server.
#pragma once

#include "storagefile/IconOverlay.h"

namespace cfx::storagefile {

class InaccessibleOverlay final : public IconOverlay {
public:
    InaccessibleOverlay() noexcept;
};

} // namespace cfx::storagefile
