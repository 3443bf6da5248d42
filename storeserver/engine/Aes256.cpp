#include "Aes256.h"

#include <wmmintrin.h>
#include <emmintrin.h>

#include <cstring>

namespace cfx::store {

namespace {

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
BYTE multiply(BYTE a, BYTE b) {
    BYTE product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = static_cast<BYTE>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
        b >>= 1;
    }
    return product;
}

BYTE rotateLeft(BYTE value, int bits) {
    return static_cast<BYTE>((value << bits) | (value >> (8 - bits)));
}

uint32_t rotateWord(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// The S-box and the round tables, derived from the cipher's definition: the
// S-box is the multiplicative inverse followed by the affine map; table row r
// holds the S-box output of a byte in row r of the state times the MixColumns
// column for that row, a column packed with row 0 in the low byte.
struct Tables {
    BYTE sbox[256];
    uint32_t round[4][256];

    Tables() {
        BYTE inverse[256] = {};
        for (int a = 1; a < 256; ++a)
            for (int b = 1; b < 256; ++b)
                if (multiply(static_cast<BYTE>(a), static_cast<BYTE>(b)) == 1) {
                    inverse[a] = static_cast<BYTE>(b);
                    break;
                }
        for (int x = 0; x < 256; ++x) {
            BYTE v = inverse[x];
            sbox[x] = static_cast<BYTE>(v ^ rotateLeft(v, 1) ^ rotateLeft(v, 2) ^ rotateLeft(v, 3) ^
                                        rotateLeft(v, 4) ^ 0x63);
        }
        for (int x = 0; x < 256; ++x) {
            uint32_t s = sbox[x];
            uint32_t column = multiply(static_cast<BYTE>(s), 2) | (s << 8) | (s << 16) |
                              (static_cast<uint32_t>(multiply(static_cast<BYTE>(s), 3)) << 24);
            for (int r = 0; r < 4; ++r)
                round[r][x] = rotateWord(column, 8 * r);
        }
    }
};

const Tables& tables() {
    static const Tables made;
    return made;
}

uint32_t load32(const BYTE* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void store32(BYTE* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

uint32_t subWord(const Tables& t, uint32_t w) {
    return t.sbox[w & 0xFF] | (t.sbox[(w >> 8) & 0xFF] << 8) | (t.sbox[(w >> 16) & 0xFF] << 16) |
           (static_cast<uint32_t>(t.sbox[w >> 24]) << 24);
}

bool processorHasAes() {
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
}

__attribute__((target("aes,sse2"))) void encryptHardware(const BYTE* keys, const BYTE* in,
                                                         BYTE* out) {
    const __m128i* k = reinterpret_cast<const __m128i*>(keys);
    __m128i state = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), k[0]);
    for (int r = 1; r < 14; ++r)
        state = _mm_aesenc_si128(state, k[r]);
    state = _mm_aesenclast_si128(state, k[14]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), state);
}

// Counter mode, eight blocks at a time so that the AES units stay busy.
__attribute__((target("aes,sse2"))) void counterHardware(const BYTE* keys, Block counter,
                                                         BYTE* data, size_t size) {
    const __m128i* k = reinterpret_cast<const __m128i*>(keys);
    constexpr size_t kLanes = 8;
    alignas(16) BYTE counters[kLanes][16];
    while (size > 0) {
        size_t lanes = (size + 15) / 16 < kLanes ? (size + 15) / 16 : kLanes;
        __m128i state[kLanes];
        for (size_t i = 0; i < lanes; ++i) {
            std::memcpy(counters[i], counter.data(), 16);
            addToCounter(counter, 1);
            state[i] = _mm_xor_si128(_mm_load_si128(reinterpret_cast<__m128i*>(counters[i])), k[0]);
        }
        for (int r = 1; r < 14; ++r)
            for (size_t i = 0; i < lanes; ++i)
                state[i] = _mm_aesenc_si128(state[i], k[r]);
        for (size_t i = 0; i < lanes; ++i) {
            state[i] = _mm_aesenclast_si128(state[i], k[14]);
            size_t n = size < 16 ? size : 16;
            if (n == 16) {
                __m128i* p = reinterpret_cast<__m128i*>(data);
                _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), state[i]));
            } else {
                alignas(16) BYTE stream[16];
                _mm_store_si128(reinterpret_cast<__m128i*>(stream), state[i]);
                for (size_t j = 0; j < n; ++j)
                    data[j] ^= stream[j];
            }
            data += n;
            size -= n;
        }
    }
}

} // namespace

void addToCounter(Block& counter, uint64_t n) noexcept {
    for (int i = 15; i >= 0 && n; --i) {
        uint64_t sum = counter[static_cast<size_t>(i)] + (n & 0xFF);
        counter[static_cast<size_t>(i)] = static_cast<BYTE>(sum);
        n = (n >> 8) + (sum >> 8);
    }
}

Aes256::Aes256(const BYTE* key, Engine engine) {
    const Tables& t = tables();
    constexpr int kKeyWords = 8;
    constexpr int kWords = 4 * (kRounds + 1);
    uint32_t w[kWords];
    for (int i = 0; i < kKeyWords; ++i)
        w[i] = load32(key + 4 * i);
    uint32_t rcon = 1;
    for (int i = kKeyWords; i < kWords; ++i) {
        uint32_t temp = w[i - 1];
        if (i % kKeyWords == 0) {
            // RotWord moves byte 1 to byte 0: with row 0 in the low byte, a right rotation.
            temp = subWord(t, rotateWord(temp, 24)) ^ rcon;
            rcon = multiply(static_cast<BYTE>(rcon), 2);
        } else if (i % kKeyWords == 4) {
            temp = subWord(t, temp);
        }
        w[i] = w[i - kKeyWords] ^ temp;
    }
    for (int i = 0; i < kWords; ++i)
        store32(roundKeys_.data() + 4 * i, w[i]);
    SecureZeroMemory(w, sizeof w);
    hardware_ = engine == Engine::Automatic && processorHasAes();
}

Aes256::~Aes256() {
    SecureZeroMemory(roundKeys_.data(), roundKeys_.size());
}

void Aes256::encryptBlock(const BYTE* in, BYTE* out) const {
    if (hardware_) {
        encryptHardware(roundKeys_.data(), in, out);
        return;
    }
    const Tables& t = tables();
    const BYTE* rk = roundKeys_.data();
    uint32_t s[4], n[4];
    for (int c = 0; c < 4; ++c)
        s[c] = load32(in + 4 * c) ^ load32(rk + 4 * c);
    for (int round = 1; round < kRounds; ++round) {
        rk += 16;
        for (int c = 0; c < 4; ++c)
            n[c] = t.round[0][s[c] & 0xFF] ^ t.round[1][(s[(c + 1) % 4] >> 8) & 0xFF] ^
                   t.round[2][(s[(c + 2) % 4] >> 16) & 0xFF] ^ t.round[3][s[(c + 3) % 4] >> 24] ^
                   load32(rk + 4 * c);
        std::memcpy(s, n, sizeof s);
    }
    rk += 16;
    for (int c = 0; c < 4; ++c) {
        uint32_t v = t.sbox[s[c] & 0xFF] | (t.sbox[(s[(c + 1) % 4] >> 8) & 0xFF] << 8) |
                     (t.sbox[(s[(c + 2) % 4] >> 16) & 0xFF] << 16) |
                     (static_cast<uint32_t>(t.sbox[s[(c + 3) % 4] >> 24]) << 24);
        store32(out + 4 * c, v ^ load32(rk + 4 * c));
    }
}

void Aes256::applyCounterStream(const Block& counter, BYTE* data, size_t size) const {
    if (hardware_) {
        counterHardware(roundKeys_.data(), counter, data, size);
        return;
    }
    Block current = counter;
    BYTE stream[16];
    while (size > 0) {
        encryptBlock(current.data(), stream);
        addToCounter(current, 1);
        size_t n = size < 16 ? size : 16;
        for (size_t i = 0; i < n; ++i)
            data[i] ^= stream[i];
        data += n;
        size -= n;
    }
}

} // namespace cfx::store
