// AES with a 256-bit key (the block cipher of FIPS-197, encryption direction
// only) and the counter mode of SP 800-38A built on it. The containers need
// no decryption direction: contents are enciphered in counter mode and
// authenticated with CMAC, both of which only ever encrypt blocks.
//
// The processor's AES instructions are used when it has them; the portable
// table-driven rounds give the same results everywhere else.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace cfx::store {

using Block = std::array<BYTE, 16>;

class Aes256 {
public:
    enum class Engine { Automatic, Portable };

    static constexpr size_t kKeySize = 32;

    explicit Aes256(const BYTE* key, Engine engine = Engine::Automatic);
    ~Aes256();
    Aes256(const Aes256&) = default;
    Aes256& operator=(const Aes256&) = default;

    void encryptBlock(const BYTE* in, BYTE* out) const;

    // XORs the counter-mode key stream into data: block i of the stream is the
    // encryption of counter + i, the counter being one 128-bit big-endian number.
    void applyCounterStream(const Block& counter, BYTE* data, size_t size) const;

    // Whether the processor's AES instructions do the work.
    bool usesProcessorInstructions() const noexcept { return hardware_; }

private:
    static constexpr int kRounds = 14;
    // Round keys, bytes in the order of FIPS-197's key schedule.
    alignas(16) std::array<BYTE, 16 * (kRounds + 1)> roundKeys_{};
    bool hardware_ = false;
};

// Adds n to a 128-bit big-endian counter.
void addToCounter(Block& counter, uint64_t n) noexcept;

} // namespace cfx::store
