#include "ui/IconHandle.h"

#include <shellapi.h>

#include <utility>

namespace cfx::ui {

IconHandle::IconHandle(HICON icon, Duplicate duplicate, Destroy destroy) noexcept
    : icon_(icon), duplicate_(duplicate), destroy_(destroy) {}

IconHandle::IconHandle(const IconHandle& other)
    : icon_(other.icon_ && other.duplicate_ ? other.duplicate_(other.icon_) : nullptr),
      duplicate_(other.duplicate_), destroy_(other.destroy_) {}

IconHandle& IconHandle::operator=(const IconHandle& other) {
    if (this != &other) {
        IconHandle copy(other);
        *this = std::move(copy);
    }
    return *this;
}

IconHandle::IconHandle(IconHandle&& other) noexcept
    : icon_(std::exchange(other.icon_, nullptr)), duplicate_(other.duplicate_),
      destroy_(other.destroy_) {}

IconHandle& IconHandle::operator=(IconHandle&& other) noexcept {
    if (this != &other) {
        reset();
        icon_ = std::exchange(other.icon_, nullptr);
        duplicate_ = other.duplicate_;
        destroy_ = other.destroy_;
    }
    return *this;
}

IconHandle::~IconHandle() {
    reset();
}

void IconHandle::reset() noexcept {
    HICON icon = std::exchange(icon_, nullptr);
    if (icon && destroy_)
        destroy_(icon);
}

IconHandle IconHandle::fromResource(HMODULE module, WORD id) {
    // LoadIconW hands out a shared icon that nobody may destroy: keep a copy.
    HICON shared = LoadIconW(module, MAKEINTRESOURCEW(id));
    if (!shared)
        return {};
    return IconHandle(duplicateIcon(shared), &duplicateIcon, &destroyIcon);
}

HICON IconHandle::duplicateIcon(HICON icon) noexcept {
    return DuplicateIcon(nullptr, icon);
}

void IconHandle::destroyIcon(HICON icon) noexcept {
    DestroyIcon(icon);
}

} // namespace cfx::ui
