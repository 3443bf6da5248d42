// One family of owning holders for every kind of handle: a holder closes its
// handle with the function that belongs to its kind. Kinds whose handles
// count references (CryptoAPI's) also copy: each copy takes a reference of
// its own through the kind's duplicate function.
#pragma once

#include "common/Exceptions.h"

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <type_traits>
#include <utility>

namespace cfx {

// InvalidBits is the value that holds nothing: 0, or -1 for the kernel calls
// that fail with INVALID_HANDLE_VALUE (a pointer cannot be a template argument).
template <class T, auto Close, LONG_PTR InvalidBits = 0> class UniqueHandle {
public:
    static T invalid() noexcept {
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<T>(InvalidBits);
        else
            return static_cast<T>(InvalidBits);
    }

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(T value) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != invalid(); }

    // For functions that return a new handle through an out parameter.
    T* put() noexcept {
        reset();
        return &value_;
    }

    T release() noexcept { return std::exchange(value_, invalid()); }

    void reset(T value = invalid()) noexcept {
        T old = std::exchange(value_, value);
        if (old != invalid())
            Close(old);
    }

private:
    T value_ = invalid();
};

// A handle whose kind counts references. Duplicate returns a new reference,
// or null with the thread's last error set (raised as win_except).
template <class T, auto Close, auto Duplicate> class CountedHandle : public UniqueHandle<T, Close> {
    using Base = UniqueHandle<T, Close>;

public:
    CountedHandle() noexcept = default;
    // Takes over a reference the caller owns.
    explicit CountedHandle(T value) noexcept : Base(value) {}
    CountedHandle(const CountedHandle& other) : Base(duplicate(other.get())) {}
    CountedHandle(CountedHandle&&) noexcept = default;
    CountedHandle& operator=(const CountedHandle& other) {
        if (this != &other)
            this->reset(duplicate(other.get()));
        return *this;
    }
    CountedHandle& operator=(CountedHandle&&) noexcept = default;
    ~CountedHandle() = default;

private:
    static T duplicate(T value) {
        if (value == Base::invalid())
            return value;
        T copy = Duplicate(value);
        if (copy == Base::invalid())
            throwLastError();
        return copy;
    }
};

// CryptoAPI's release and duplicate functions in the shape the holders call.
inline void closeCertificateStore(HCERTSTORE store) noexcept {
    CertCloseStore(store, 0);
}
inline void releaseProvider(HCRYPTPROV provider) noexcept {
    CryptReleaseContext(provider, 0);
}
inline HCRYPTPROV addProviderReference(HCRYPTPROV provider) noexcept {
    return CryptContextAddRef(provider, nullptr, 0) ? provider : 0;
}
inline HCRYPTKEY duplicateKey(HCRYPTKEY key) noexcept {
    HCRYPTKEY copy = 0;
    return CryptDuplicateKey(key, nullptr, 0, &copy) ? copy : 0;
}

// Kernel objects: threads, events, mutexes (null when absent).
using KernelHandle = UniqueHandle<HANDLE, &CloseHandle>;
// Files opened with CreateFileW and directory searches (INVALID_HANDLE_VALUE when absent).
using FileHandle = UniqueHandle<HANDLE, &CloseHandle, -1>;
using FindHandle = UniqueHandle<HANDLE, &FindClose, -1>;

using LoadedModule = UniqueHandle<HMODULE, &FreeLibrary>;
using LocalMemory = UniqueHandle<HLOCAL, &LocalFree>;
using TaskMemory = UniqueHandle<void*, &CoTaskMemFree>;
using Bstr = UniqueHandle<BSTR, &SysFreeString>;

using Certificate =
    CountedHandle<PCCERT_CONTEXT, &CertFreeCertificateContext, &CertDuplicateCertificateContext>;
using CertificateStore = CountedHandle<HCERTSTORE, &closeCertificateStore, &CertDuplicateStore>;
using CertificateChain =
    CountedHandle<PCCERT_CHAIN_CONTEXT, &CertFreeCertificateChain, &CertDuplicateCertificateChain>;
using CryptProvider = CountedHandle<HCRYPTPROV, &releaseProvider, &addProviderReference>;
using CryptKey = CountedHandle<HCRYPTKEY, &CryptDestroyKey, &duplicateKey>;
using CryptHash = UniqueHandle<HCRYPTHASH, &CryptDestroyHash>;

// A critical section lives where it was made; Lock holds it for a scope.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    class Lock {
    public:
        explicit Lock(CriticalSection& section) noexcept : section_(section.section_) {
            EnterCriticalSection(&section_);
        }
        ~Lock() { LeaveCriticalSection(&section_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        CRITICAL_SECTION& section_;
    };

private:
    CRITICAL_SECTION section_;
};

} // namespace cfx
