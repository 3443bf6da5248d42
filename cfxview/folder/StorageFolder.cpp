#include "folder/StorageFolder.h"

#include "module/ClassTable.h"

namespace cfx::folder {

StorageFolder::StorageFolder(Placement placement) : root_(placement == Root) {
    // The shell asks for the base interfaces too; they share the derived pointers.
    addExtraInterface(IID_IShellFolder, static_cast<IShellFolder2*>(this));
    addExtraInterface(IID_IPersist, static_cast<IPersistFolder2*>(this));
    addExtraInterface(IID_IPersistFolder, static_cast<IPersistFolder2*>(this));
}

// Browsing, the view, the menus and drag and drop arrive with the storage
// thread and the key unlocking they stand on; until then the folder answers
// E_NOTIMPL, which the shell treats as a folder that offers nothing.

STDMETHODIMP StorageFolder::QueryContextMenu(HMENU, UINT, UINT, UINT, UINT) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::InvokeCommand(CMINVOKECOMMANDINFO*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetCommandString(UINT_PTR, UINT, UINT*, CHAR*, UINT) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_StorageFolder;
    return S_OK;
}
STDMETHODIMP StorageFolder::Initialize(PCIDLIST_ABSOLUTE) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetCurFolder(PIDLIST_ABSOLUTE*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::ParseDisplayName(HWND, IBindCtx*, LPWSTR, ULONG*, PIDLIST_RELATIVE*,
                                             ULONG*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::EnumObjects(HWND, SHCONTF, IEnumIDList**) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::BindToObject(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void**) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void**) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::CompareIDs(LPARAM, PCUIDLIST_RELATIVE, PCUIDLIST_RELATIVE) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::CreateViewObject(HWND, REFIID, void**) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetAttributesOf(UINT, PCUITEMID_CHILD_ARRAY, SFGAOF*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetUIObjectOf(HWND, UINT, PCUITEMID_CHILD_ARRAY, REFIID, UINT*,
                                          void**) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetDisplayNameOf(PCUITEMID_CHILD, SHGDNF, STRRET*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::SetNameOf(HWND, PCUITEMID_CHILD, LPCWSTR, SHGDNF, PITEMID_CHILD*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetDefaultSearchGUID(GUID*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::EnumSearches(IEnumExtraSearch**) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetDefaultColumn(DWORD, ULONG*, ULONG*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetDefaultColumnState(UINT, SHCOLSTATEF*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetDetailsEx(PCUITEMID_CHILD, const SHCOLUMNID*, VARIANT*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetDetailsOf(PCUITEMID_CHILD, UINT, SHELLDETAILS*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::MapColumnToSCID(UINT, SHCOLUMNID*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::DragEnter(IDataObject*, DWORD, POINTL, DWORD*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::DragOver(DWORD, POINTL, DWORD*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::DragLeave() {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::Drop(IDataObject*, DWORD, POINTL, DWORD*) {
    return E_NOTIMPL;
}

STDMETHODIMP StorageFolder::SetSite(IUnknown*) {
    return E_NOTIMPL;
}
STDMETHODIMP StorageFolder::GetSite(REFIID, void**) {
    return E_NOTIMPL;
}

} // namespace cfx::folder
