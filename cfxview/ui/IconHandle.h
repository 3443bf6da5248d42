// An icon that travels by value: copying it makes a duplicate with the copy
// function it came with, so that every holder owns and destroys its own icon.
#pragma once

#include <windows.h>

namespace cfx::ui {

class IconHandle {
public:
    using Duplicate = HICON (*)(HICON);
    using Destroy = void (*)(HICON);

    IconHandle() noexcept = default;
    // Takes over icon (null for none), which destroy will destroy.
    IconHandle(HICON icon, Duplicate duplicate, Destroy destroy) noexcept;
    IconHandle(const IconHandle& other);
    IconHandle& operator=(const IconHandle& other);
    IconHandle(IconHandle&& other) noexcept;
    IconHandle& operator=(IconHandle&& other) noexcept;
    ~IconHandle();

    HICON get() const noexcept { return icon_; }
    explicit operator bool() const noexcept { return icon_ != nullptr; }

    // A private copy of an icon resource of module, or an empty handle when it
    // cannot be loaded; duplicated with DuplicateIcon, destroyed with DestroyIcon.
    static IconHandle fromResource(HMODULE module, WORD id);

    // The usual pair of functions: DuplicateIcon and DestroyIcon.
    static HICON duplicateIcon(HICON icon) noexcept;
    static void destroyIcon(HICON icon) noexcept;

private:
    void reset() noexcept;

    HICON icon_ = nullptr;
    Duplicate duplicate_ = nullptr;
    Destroy destroy_ = nullptr;
};

} // namespace cfx::ui
