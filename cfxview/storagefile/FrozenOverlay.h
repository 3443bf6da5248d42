// Marks a storage that is frozen.
#pragma once

#include "storagefile/IconOverlay.h"

namespace cfx::storagefile {

class FrozenOverlay final : public IconOverlay {
public:
    FrozenOverlay() noexcept;
};

} // namespace cfx::storagefile
