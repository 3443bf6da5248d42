#include "storagefile/InaccessibleOverlay.h"

namespace cfx {

InaccessibleOverlay::InaccessibleOverlay() noexcept
    : IconOverlay(/*iconIndex=*/2, /*priority=*/0) {}

} // namespace cfx
