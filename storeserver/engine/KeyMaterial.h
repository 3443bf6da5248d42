// The storage key and what is derived from it. A storage has one random
// 256-bit key; it is never written to the container. Separate keys for file
// contents, the catalog and the catalog's authentication code, and the key
// check value the container keeps to recognise the right key, are derived
// from it with the counter-mode key derivation of SP 800-108 (CMAC as the
// pseudo-random function), so that no derived value reveals another.
#pragma once

#include "Aes256.h"

#include <windows.h>
#include <wincrypt.h>

#include <array>
#include <cstddef>
#include <string>

namespace cfx::store {

constexpr size_t kStorageKeySize = 32;

// A storage key; the memory is wiped when the key goes.
class StorageKey {
public:
    StorageKey() = default;
    StorageKey(const BYTE* bytes, size_t size);
    StorageKey(const StorageKey&) = default;
    StorageKey& operator=(const StorageKey&) = default;
    ~StorageKey();

    static StorageKey random();

    const BYTE* data() const noexcept { return bytes_.data(); }
    BYTE* data() noexcept { return bytes_.data(); }
    static constexpr size_t size() noexcept { return kStorageKeySize; }

private:
    std::array<BYTE, kStorageKeySize> bytes_{};
};

// The ciphers a storage key gives.
class KeyMaterial {
public:
    explicit KeyMaterial(const StorageKey& key);

    const Aes256& contents() const noexcept { return contents_; }
    const Aes256& catalog() const noexcept { return catalog_; }
    const Aes256& authentication() const noexcept { return authentication_; }
    const Block& checkValue() const noexcept { return checkValue_; }

private:
    explicit KeyMaterial(const Aes256& prf);

    Aes256 contents_;
    Aes256 catalog_;
    Aes256 authentication_;
    Block checkValue_;
};

// The key check value kept in the container for this key.
Block checkValueOf(const StorageKey& key);

// Fills the buffer from the system's cryptographic random source.
void randomBytes(void* buffer, size_t size);

// A CryptoAPI provider (RSA and AES, no key container) acquired once for the
// process: acquiring one costs milliseconds.
HCRYPTPROV cryptoProvider();

// Compares without leaking where the first difference is.
bool equalSecret(const BYTE* a, const BYTE* b, size_t size) noexcept;

} // namespace cfx::store
