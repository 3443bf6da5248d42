// One owning holder for every kind of handle the library keeps: the holder
// closes the handle with the function that belongs to its kind.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <shlobj.h>

#include <utility>

namespace cfx {

template <class T, auto Close, T Invalid = T{}> class UniqueHandle {
public:
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
    explicit operator bool() const noexcept { return value_ != Invalid; }

    // For functions that return a new handle through an out parameter.
    T* put() noexcept {
        reset();
        return &value_;
    }

    T release() noexcept { return std::exchange(value_, Invalid); }

    void reset(T value = Invalid) noexcept {
        T old = std::exchange(value_, value);
        if (old != Invalid)
            Close(old);
    }

private:
    T value_ = Invalid;
};

using KernelHandle = UniqueHandle<HANDLE, &CloseHandle>;
using LocalMemory = UniqueHandle<HLOCAL, &LocalFree>;
using Bstr = UniqueHandle<BSTR, &SysFreeString>;
using ItemIdList = UniqueHandle<LPITEMIDLIST, &ILFree>;
using TaskMemory = UniqueHandle<void*, &CoTaskMemFree>;
// CreateActCtxW fails with INVALID_HANDLE_VALUE: store null instead.
using ActivationContextHandle = UniqueHandle<HANDLE, &ReleaseActCtx>;

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
