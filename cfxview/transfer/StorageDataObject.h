// The data object of items selected in a storage folder (drag, Cut, Copy). The
// shell's own data object over the same items serves the shell's formats; this
// object adds the virtual files a drop target outside the storage can take:
// "FileGroupDescriptorW" (every file and folder below the selection) and one
// "FileContents" stream per file, read from the storage server. A drop target
// that reports a move after pulling the files makes it delete the items.
#pragma once

#include "common/ComObjectBase.h"
#include "folder/StorageItemId.h"

#include <shldisp.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <map>
#include <string>
#include <vector>

namespace cfx::folder {
class StorageFolder;
}

namespace cfx::transfer {

// One record of "FileGroupDescriptorW": a server item below the selection,
// prefix being its folder's relative path (empty at the top). Raises
// E_INVALIDARG for an item neither file nor folder, E_OUTOFMEMORY for a
// relative path of 260 units or more.
FILEDESCRIPTORW fileDescriptorOf(IStorageItem* item, const std::wstring& prefix);

// IDataObjectAsyncCapability is the SDK's newer name of IAsyncOperation (same IID).
class StorageDataObject final : public ComObject<IDataObject, IDataObjectAsyncCapability> {
public:
    // items: relative to folderList. Raises the shell's failure to make its
    // data object.
    StorageDataObject(folder::StorageFolder& folder, LPCITEMIDLIST folderList, UINT count,
                      PCUITEMID_CHILD_ARRAY items);
    ~StorageDataObject() override;

    // IDataObject
    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP QueryGetData(FORMATETC* format) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    STDMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    STDMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
    STDMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink,
                         DWORD* connection) override;
    STDMETHODIMP DUnadvise(DWORD connection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** advises) override;

    // IAsyncOperation: the state only; the work is done inside GetData and SetData.
    STDMETHODIMP SetAsyncMode(BOOL async) override;
    STDMETHODIMP GetAsyncMode(BOOL* async) override;
    STDMETHODIMP StartOperation(IBindCtx* reserved) override;
    STDMETHODIMP InOperation(BOOL* inOperation) override;
    STDMETHODIMP EndOperation(HRESULT result, IBindCtx* reserved, DWORD effects) override;

private:
    IDataObject* inner();
    HRESULT fileGroupDescriptor(STGMEDIUM* medium);
    HRESULT fileContents(LONG index, STGMEDIUM* medium);
    void describe(IStorageFolder* parent, IStorageItem* item, const std::wstring& prefix);
    // Wine: formats the shell's data object refuses to take.
    HRESULT keptData(const FORMATETC& format, STGMEDIUM* medium) const;
    bool keepData(const FORMATETC& format, const STGMEDIUM& medium);

    folder::StorageFolder& folder_;
    BOOL asyncMode_ = FALSE;
    BOOL inOperation_ = FALSE;
    std::vector<folder::ItemIdList> items_;
    folder::ItemIdList folderList_;
    Microsoft::WRL::ComPtr<IDataObject> inner_;
    std::vector<FILEDESCRIPTORW> descriptors_;
    std::map<CLIPFORMAT, HGLOBAL> kept_;
};

} // namespace cfx::transfer
