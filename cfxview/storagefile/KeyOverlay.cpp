#include "storagefile/KeyOverlay.h"

namespace cfx::storagefile {

KeyOverlay::KeyOverlay() noexcept : IconOverlay(/*iconIndex=*/3, /*priority=*/2) {}

} // namespace cfx::storagefile
