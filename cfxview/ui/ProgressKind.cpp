#include "ui/ProgressKind.h"

#include "ui/resource.h"

#include <iterator>

namespace cfx::ui {

namespace {

// Indexed by kind.
constexpr ProgressAnimation kAnimations[] = {
    {IDR_AVI_COPY, IDR_AVI_COPY_SMALL},           // CopySingle
    {IDR_AVI_COPY_MANY, IDR_AVI_COPY_MANY_SMALL}, // CopyMany
    {IDR_AVI_COPY, IDR_AVI_COPY_SMALL},           // MoveSingle
    {IDR_AVI_COPY_MANY, IDR_AVI_COPY_MANY_SMALL}, // MoveMany
    {IDR_AVI_DELETE, IDR_AVI_DELETE_SMALL},       // DeleteSingle
    {IDR_AVI_DELETE, IDR_AVI_DELETE_SMALL},       // DeleteMany
    {IDR_AVI_CHECK, IDR_AVI_CHECK_SMALL},         // CheckSingle
    {IDR_AVI_CHECK, IDR_AVI_CHECK_SMALL},         // CheckMany
};

} // namespace

std::uint32_t progressKind(ProgressKind single, std::size_t itemCount) noexcept {
    return itemCount == 1 ? single : single + 1;
}

ProgressAnimation progressAnimation(std::uint32_t kind) noexcept {
    if (kind >= std::size(kAnimations))
        return {0, 0};
    return kAnimations[kind];
}

} // namespace cfx::ui
