// Holders for the CryptoAPI handles the key operations keep. Unlike
// UniqueHandle (module/Handles.h) these can be copied: CryptoAPI counts the
// references of each handle, and a copy takes one more through the handle's
// own duplicate function.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "module/Exceptions.h"

#include <utility>

namespace cfx {

// Duplicate returns the new reference, or null with the thread's last error set.
template <class T, auto Duplicate, auto Release> class SharedHandle {
public:
    SharedHandle() noexcept = default;
    // Takes over a reference the caller owns.
    explicit SharedHandle(T value) noexcept : value_(value) {}
    SharedHandle(const SharedHandle& other) : value_(duplicate(other.value_)) {}
    SharedHandle(SharedHandle&& other) noexcept : value_(other.release()) {}
    SharedHandle& operator=(const SharedHandle& other) {
        if (this != &other)
            reset(duplicate(other.value_));
        return *this;
    }
    SharedHandle& operator=(SharedHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~SharedHandle() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != T{}; }

    // For functions that return a new handle through an out parameter.
    T* put() noexcept {
        reset();
        return &value_;
    }

    T release() noexcept { return std::exchange(value_, T{}); }

    void reset(T value = T{}) noexcept {
        T old = std::exchange(value_, value);
        if (old != T{})
            Release(old);
    }

private:
    static T duplicate(T value) {
        if (value == T{})
            return value;
        T copy = Duplicate(value);
        if (copy == T{})
            tools::throw_last_error();
        return copy;
    }

    T value_{};
};

// Duplicate and release functions of the same shape for every kind.
namespace crypt_handle {

inline HCRYPTPROV addRef(HCRYPTPROV provider) {
    return CryptContextAddRef(provider, nullptr, 0) ? provider : 0;
}
inline HCRYPTKEY duplicateKey(HCRYPTKEY key) {
    HCRYPTKEY copy = 0;
    return CryptDuplicateKey(key, nullptr, 0, &copy) ? copy : 0;
}
inline void closeStore(HCERTSTORE store) {
    CertCloseStore(store, 0);
}
inline void releaseProvider(HCRYPTPROV provider) {
    CryptReleaseContext(provider, 0);
}

} // namespace crypt_handle

using Certificate =
    SharedHandle<PCCERT_CONTEXT, &CertDuplicateCertificateContext, &CertFreeCertificateContext>;
using CertificateStore = SharedHandle<HCERTSTORE, &CertDuplicateStore, &crypt_handle::closeStore>;
using CertificateChain =
    SharedHandle<PCCERT_CHAIN_CONTEXT, &CertDuplicateCertificateChain, &CertFreeCertificateChain>;
using CryptProvider =
    SharedHandle<HCRYPTPROV, &crypt_handle::addRef, &crypt_handle::releaseProvider>;
using CryptKey = SharedHandle<HCRYPTKEY, &crypt_handle::duplicateKey, &CryptDestroyKey>;

// A certificate's private key, ready to use. Members are destroyed in reverse
// order: the key before the provider that holds it.
struct PrivateKey {
    Certificate certificate;
    CryptProvider provider;
    CryptKey key;
    HWND owner = nullptr; // owns the provider's prompts; not owned here
};

} // namespace cfx
