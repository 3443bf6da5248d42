#include "storagefile/FrozenOverlay.h"

namespace cfx::storagefile {

FrozenOverlay::FrozenOverlay() noexcept : IconOverlay(/*iconIndex=*/1, /*priority=*/1) {}

} // namespace cfx::storagefile
