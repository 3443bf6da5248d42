// The effect a drop on a storage folder takes from the keys held; the effects
// the drag source allows are not consulted.
#pragma once

#include <windows.h>
#include <oleidl.h>

namespace cfx::transfer {

// A plain left drag or Ctrl copies; Shift, or Alt with the left button,
// moves; Ctrl + Shift refuses; a right drag alone reports a move (the shell
// then shows its drop menu), and no key at all copies.
constexpr DWORD dropEffectForKeys(DWORD keys) noexcept {
    const bool copyKeys = keys & (MK_LBUTTON | MK_CONTROL);
    if (keys == 0 || (copyKeys && !(keys & (MK_SHIFT | MK_ALT))))
        return DROPEFFECT_COPY;
    if (((keys & (MK_LBUTTON | MK_SHIFT)) && !(keys & MK_CONTROL)) || keys == MK_RBUTTON)
        return DROPEFFECT_MOVE;
    return DROPEFFECT_NONE;
}

} // namespace cfx::transfer
