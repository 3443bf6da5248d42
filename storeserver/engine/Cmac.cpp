#include "Cmac.h"

namespace cfx::store {

namespace {

// Doubling in GF(2^128), as the subkeys are made.
Block doubled(const Block& value) {
    Block result{};
    for (size_t i = 0; i < 16; ++i) {
        BYTE next = i + 1 < 16 ? value[i + 1] : 0;
        result[i] = static_cast<BYTE>((value[i] << 1) | (next >> 7));
    }
    if (value[0] & 0x80)
        result[15] ^= 0x87;
    return result;
}

} // namespace

Block cmac(const Aes256& cipher, const BYTE* message, size_t size) {
    Block zero{}, l{};
    cipher.encryptBlock(zero.data(), l.data());
    Block k1 = doubled(l);
    Block k2 = doubled(k1);

    size_t blocks = size == 0 ? 1 : (size + 15) / 16;
    bool complete = size != 0 && size % 16 == 0;
    Block state{};
    for (size_t b = 0; b + 1 < blocks; ++b) {
        for (size_t i = 0; i < 16; ++i)
            state[i] ^= message[16 * b + i];
        cipher.encryptBlock(state.data(), state.data());
    }
    Block last{};
    size_t tail = size - 16 * (blocks - 1);
    for (size_t i = 0; i < tail; ++i)
        last[i] = message[16 * (blocks - 1) + i];
    if (!complete)
        last[tail] = 0x80;
    const Block& subkey = complete ? k1 : k2;
    for (size_t i = 0; i < 16; ++i)
        state[i] ^= last[i] ^ subkey[i];
    cipher.encryptBlock(state.data(), state.data());
    return state;
}

} // namespace cfx::store
