// The six classes the library serves, in their fixed order, and the services
// built on them: making an object for a CLSID and listing its interfaces.
#pragma once

#include "module/ComObjectBase.h"

#include <vector>

namespace cfx {

// {6B3E91D2-0C4F-4A87-9E15-D27A40B85C18} and its siblings.
inline constexpr CLSID CLSID_StorageFolder = {
    0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x18}};
inline constexpr CLSID CLSID_StoragePropertyPage = {
    0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x1D}};
inline constexpr CLSID CLSID_StorageContextMenu = {
    0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x1C}};
inline constexpr CLSID CLSID_FrozenOverlay = {
    0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x1A}};
inline constexpr CLSID CLSID_InaccessibleOverlay = {
    0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x1B}};
inline constexpr CLSID CLSID_KeyOverlay = {
    0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x19}};

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* name;
    OwnedObject (*create)();
};

namespace class_table {

// The rows in their fixed order.
const std::vector<ClassEntry>& entries();

// The row of a CLSID, or null when the library does not serve it.
const ClassEntry* find(REFCLSID clsid) noexcept;

// A new object of the class with its birth reference; raises
// CLASS_E_CLASSNOTAVAILABLE for a CLSID outside the table.
OwnedObject makeObject(REFCLSID clsid);

// The interfaces an object of the class answers (extra table, interface list,
// IUnknown); raises CLASS_E_CLASSNOTAVAILABLE for a CLSID outside the table.
std::vector<IID> interfacesOf(REFCLSID clsid);

} // namespace class_table

} // namespace cfx
