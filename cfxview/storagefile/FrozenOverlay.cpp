#include "storagefile/FrozenOverlay.h"

namespace cfx {

FrozenOverlay::FrozenOverlay() noexcept : IconOverlay(/*iconIndex=*/1, /*priority=*/1) {}

} // namespace cfx
