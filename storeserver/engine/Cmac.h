// CMAC (SP 800-38B) on AES-256: the message authentication code of the
// catalog, and the pseudo-random function of the key derivation.
#pragma once

#include "Aes256.h"

#include <cstddef>

namespace cfx::store {

Block cmac(const Aes256& cipher, const BYTE* message, size_t size);

} // namespace cfx::store
