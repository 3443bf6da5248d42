#include "KeyMaterial.h"

#include "Cmac.h"
#include "StoreError.h"

#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace cfx::store {

namespace {

// SP 800-108 counter mode: block i is CMAC(key, [i] || label || 0x00 || [bits]),
// with an 8-bit counter and the output length in bits as 16 bits, big-endian.
template <size_t N> std::array<BYTE, N> derive(const Aes256& prf, const char* label) {
    std::array<BYTE, N> output{};
    size_t labelSize = std::strlen(label);
    std::vector<BYTE> input(1 + labelSize + 1 + 2);
    std::memcpy(input.data() + 1, label, labelSize);
    input[1 + labelSize] = 0;
    input[2 + labelSize] = static_cast<BYTE>((N * 8) >> 8);
    input[3 + labelSize] = static_cast<BYTE>(N * 8);
    for (size_t done = 0, i = 1; done < N; ++i) {
        input[0] = static_cast<BYTE>(i);
        Block block = cmac(prf, input.data(), input.size());
        size_t n = N - done < 16 ? N - done : 16;
        std::memcpy(output.data() + done, block.data(), n);
        done += n;
    }
    return output;
}

Aes256 derivedCipher(const Aes256& prf, const char* label) {
    auto key = derive<32>(prf, label);
    Aes256 cipher(key.data());
    SecureZeroMemory(key.data(), key.size());
    return cipher;
}

} // namespace

StorageKey::StorageKey(const BYTE* bytes, size_t size) {
    if (size != kStorageKeySize)
        fail(E_INVALIDARG, L"A storage key is 32 bytes long.");
    std::memcpy(bytes_.data(), bytes, size);
}

StorageKey::~StorageKey() {
    SecureZeroMemory(bytes_.data(), bytes_.size());
}

StorageKey StorageKey::random() {
    StorageKey key;
    randomBytes(key.bytes_.data(), key.bytes_.size());
    return key;
}

KeyMaterial::KeyMaterial(const StorageKey& key) : KeyMaterial(Aes256(key.data())) {}

KeyMaterial::KeyMaterial(const Aes256& prf)
    : contents_(derivedCipher(prf, "cfx contents")), catalog_(derivedCipher(prf, "cfx catalog")),
      authentication_(derivedCipher(prf, "cfx catalog mac")),
      checkValue_(derive<16>(prf, "cfx key check")) {}

Block checkValueOf(const StorageKey& key) {
    return derive<16>(Aes256(key.data()), "cfx key check");
}

HCRYPTPROV cryptoProvider() {
    static const HCRYPTPROV provider = [] {
        HCRYPTPROV acquired = 0;
        if (!CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_AES,
                                  CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            failLastError(L"Unable to reach the cryptographic provider");
        return acquired;
    }();
    return provider;
}

void randomBytes(void* buffer, size_t size) {
    if (!CryptGenRandom(cryptoProvider(), static_cast<DWORD>(size), static_cast<BYTE*>(buffer)))
        failLastError(L"Unable to make random bytes");
}

bool equalSecret(const BYTE* a, const BYTE* b, size_t size) noexcept {
    BYTE difference = 0;
    for (size_t i = 0; i < size; ++i)
        difference |= static_cast<BYTE>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace cfx::store
