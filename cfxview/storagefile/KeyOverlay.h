// Marks a storage that keeps a copy of its key.
#pragma once

#include "storagefile/IconOverlay.h"

namespace cfx::storagefile {

class KeyOverlay final : public IconOverlay {
public:
    KeyOverlay() noexcept;
};

} // namespace cfx::storagefile
