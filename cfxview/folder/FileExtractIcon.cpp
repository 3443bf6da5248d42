#include "folder/FileExtractIcon.h"

#include "folder/ShellIconLocation.h"

#include <shellapi.h>
#include <shlobj.h>

namespace cfx::folder {


namespace {

// Wine 8 answers SHCreateFileExtractIconW with E_NOTIMPL, and its view then
// draws every item with the generic document icon. Under that answer only,
// the icon location the shell itself gives a name and attributes
// (SHGetFileInfoW on the attributes alone, which never looks at the disk) is
// handed out, and the shell extracts the icon from it. Windows never comes
// here.
HRESULT iconAtShellLocation(const std::wstring& name, DWORD attributes, REFIID iid, void** out) {
    SHFILEINFOW info{};
    if (!SHGetFileInfoW(name.c_str(), attributes, &info, sizeof info,
                        SHGFI_USEFILEATTRIBUTES | SHGFI_ICONLOCATION) ||
        !info.szDisplayName[0]) {
        // A type without an icon of its own: the shell's generic document,
        // the first icon of shell32 by the same file name the shell uses.
        if (!GetModuleFileNameW(GetModuleHandleW(L"shell32.dll"), info.szDisplayName, MAX_PATH))
            return E_NOTIMPL;
        info.iIcon = 0;
    }
    OwnedObject icon(new ShellIconLocation(info.szDisplayName, info.iIcon));
    return icon->queryInterface(iid, out);
}

} // namespace

HRESULT createFileExtractIcon(const std::wstring& name, DWORD attributes, REFIID iid, void** out) {
    HRESULT hr = SHCreateFileExtractIconW(name.c_str(), attributes, iid, out);
    if (hr == E_NOTIMPL)
        hr = iconAtShellLocation(name, attributes, iid, out);
    return hr;
}

} // namespace cfx::folder
