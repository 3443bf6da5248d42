// The three icon overlay handlers of a storage file: one class over a table
// of three rows, one for each thing an overlay marks (a frozen storage, a
// storage out of reach, a storage that keeps a copy of its key), with the
// icon it draws (an icon of the library's own file) and its priority.
#pragma once

#include "common/ComObjectBase.h"

#include <shlobj.h>

// mingw-w64's shlobj.h gives this interface no __uuidof.
__CRT_UUID_DECL(IShellIconOverlayIdentifier, 0x0C6C4200, 0xC589, 0x11D0, 0x99, 0x9A, 0x00, 0xC0,
                0x4F, 0xD6, 0x55, 0xE1)

namespace cfx::storagefile {

class IconOverlay final : public ComObject<IShellIconOverlayIdentifier> {
public:
    // The rows; each has a class identifier of its own in the class table.
    enum Kind { Frozen, Inaccessible, Key };

    explicit IconOverlay(Kind kind) noexcept : kind_(kind) {}

    // IShellIconOverlayIdentifier
    STDMETHODIMP IsMemberOf(LPCWSTR path, DWORD attributes) override;
    STDMETHODIMP GetOverlayInfo(LPWSTR iconFile, int size, int* index, DWORD* flags) override;
    STDMETHODIMP GetPriority(int* priority) override;

private:
    Kind kind_;
};

} // namespace cfx::storagefile
