// The callback the shell's default folder view is made with: it tells the
// view to follow every change notification under the folder's list.
#pragma once

#include "common/ComObjectBase.h"

#include <shlobj.h>
#include <wrl/client.h>

// shlobj.h gives the interface its IID but not the __uuidof the object base reads.
__CRT_UUID_DECL(IShellFolderViewCB, 0x2047E320, 0xF2A9, 0x11CE, 0xAE, 0x65, 0x08, 0x00, 0x2B, 0x2E,
                0x12, 0x62)

namespace cfx::folder {

class StorageFolder;

class StorageFolderViewCallback final : public ComObject<IShellFolderViewCB> {
public:
    // Keeps the folder alive for the callback's life.
    explicit StorageFolderViewCallback(StorageFolder* folder);
    ~StorageFolderViewCallback() override;

    STDMETHODIMP MessageSFVCB(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    StorageFolder* folder_;
};

} // namespace cfx::folder
