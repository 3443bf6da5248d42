#include "support/StorageFolderOpen.h"

#include "idl/cfxview_classes.h"
#include "support/TestText.h"

#include <gtest/gtest.h>

namespace cfx::test {

using Microsoft::WRL::ComPtr;

LoadedLibrary& cfxview() {
    static auto* loaded = new LoadedLibrary(L"cfxview.dll"); // stays loaded to the end
    return *loaded;
}

ComPtr<IShellFolder2> openStorageFolder(const std::wstring& path, bool withView,
                                        HRESULT initialized) {
    ComPtr<IClassFactory> factory;
    ComPtr<IShellFolder2> folder;
    ComPtr<IPersistFolder> persist;
    EXPECT_EQ(S_OK, cfxview().getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    if (!factory || FAILED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder))) ||
        FAILED(folder.As(&persist))) {
        ADD_FAILURE() << "no storage folder from the library";
        return nullptr;
    }
    PIDLIST_ABSOLUTE file = ILCreateFromPathW(path.c_str());
    HRESULT hr = persist->Initialize(file);
    ILFree(file);
    EXPECT_TRUE(hrIs(initialized, hr));
    ComPtr<IShellView> view;
    if (withView && SUCCEEDED(hr)) {
        EXPECT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
    }
    return folder;
}

} // namespace cfx::test
