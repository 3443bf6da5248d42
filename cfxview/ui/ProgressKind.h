// What a progress dialog shows an animation of. An operation on more than one
// item (any count but 1) takes the kind after its single-item kind.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace cfx::ui {

enum ProgressKind : std::uint32_t {
    CopySingle = 0,
    CopyMany = 1,
    MoveSingle = 2,
    MoveMany = 3,
    DeleteSingle = 4,
    DeleteMany = 5,
    CheckSingle = 6, // also renaming, with Cancel disabled
    CheckMany = 7,
};

// single for an operation on one item, the kind after it for any other count.
std::uint32_t progressKind(ProgressKind single, std::size_t itemCount) noexcept;

// The AVI resources of a kind: the large clip of the modern dialog and the
// small one of the classic dialog. Both are 0 for a kind above CheckMany,
// which has no animation.
struct ProgressAnimation {
    WORD modern;
    WORD classic;
};
ProgressAnimation progressAnimation(std::uint32_t kind) noexcept;

} // namespace cfx::ui
