// What the three icon overlay handlers share: the icon they draw (an icon of
// the library's own file) and their priority. Each handler decides membership.
#pragma once

#include "common/ComObjectBase.h"

#include <shlobj.h>

// mingw-w64's shlobj.h gives this interface no __uuidof.
__CRT_UUID_DECL(IShellIconOverlayIdentifier, 0x0C6C4200, 0xC589, 0x11D0, 0x99, 0x9A, 0x00, 0xC0,
                0x4F, 0xD6, 0x55, 0xE1)

namespace cfx {

class IconOverlay : public ComObject<IShellIconOverlayIdentifier> {
public:
    // IShellIconOverlayIdentifier
    STDMETHODIMP IsMemberOf(LPCWSTR path, DWORD attributes) override;
    STDMETHODIMP GetOverlayInfo(LPWSTR iconFile, int size, int* index, DWORD* flags) override;
    STDMETHODIMP GetPriority(int* priority) override;

protected:
    // iconIndex counts the library's icon groups in resource order.
    IconOverlay(int iconIndex, int priority) noexcept
        : iconIndex_(iconIndex), priority_(priority) {}

private:
    int iconIndex_;
    int priority_;
};

} // namespace cfx
