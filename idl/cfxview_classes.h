// What programs outside cfxview.dll may know of it: the six classes it serves,
// in its fixed order, and the named mutex whose existence tells that the
// library is loaded somewhere.
#pragma once

#include <windows.h>

namespace cfx {

// The six share {6B3E91D2-0C4F-4A87-9E15-D27A40B85Cxx}; the last byte tells them apart.
constexpr CLSID libraryClass(BYTE last) {
    return {0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, last}};
}
inline constexpr CLSID CLSID_StorageFolder = libraryClass(0x18);
inline constexpr CLSID CLSID_StoragePropertyPage = libraryClass(0x1D);
inline constexpr CLSID CLSID_StorageContextMenu = libraryClass(0x1C);
inline constexpr CLSID CLSID_FrozenOverlay = libraryClass(0x1A);
inline constexpr CLSID CLSID_InaccessibleOverlay = libraryClass(0x1B);
inline constexpr CLSID CLSID_KeyOverlay = libraryClass(0x19);

struct PublicClass {
    const CLSID* clsid;
    const wchar_t* name;
};

inline constexpr PublicClass kPublicClasses[] = {
    {&CLSID_StorageFolder, L"Storage folder"},
    {&CLSID_StoragePropertyPage, L"Storage property page"},
    {&CLSID_StorageContextMenu, L"Storage context menu"},
    {&CLSID_FrozenOverlay, L"Frozen icon overlay"},
    {&CLSID_InaccessibleOverlay, L"Inaccessible icon overlay"},
    {&CLSID_KeyOverlay, L"Key icon overlay"},
};

inline constexpr wchar_t kPresenceMutexName[] = L"Global\\Coffrex 3.0 (Demo)";

} // namespace cfx
