#include "storagefile/InaccessibleOverlay.h"

namespace cfx::storagefile {

InaccessibleOverlay::InaccessibleOverlay() noexcept
    : IconOverlay(/*iconIndex=*/2, /*priority=*/0) {}

} // namespace cfx::storagefile
