// An icon extractor that names a fixed icon location and leaves extracting the
// icon to the shell: what the storage folder hands out for an item's icon
// where the shell has no file icon extractor of its own (see FileExtractIcon).
#pragma once

#include "common/ComObjectBase.h"

#include <shlobj.h>

#include <string>

// shlobj.h gives the interface its IID but not the __uuidof the object base reads.
__CRT_UUID_DECL(IExtractIconW, 0x000214FA, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x46)

namespace cfx::folder {

class ShellIconLocation final : public ComObject<IExtractIconW> {
public:
    ShellIconLocation(std::wstring file, int index);

    STDMETHODIMP GetIconLocation(UINT flags, LPWSTR file, UINT size, int* index,
                                 UINT* outFlags) override;
    STDMETHODIMP Extract(LPCWSTR file, UINT index, HICON* large, HICON* small, UINT sizes) override;

private:
    std::wstring file_;
    int index_;
};

} // namespace cfx::folder
