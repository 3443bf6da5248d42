// The six classes as the shell meets them: through DllGetClassObject, the
// class factory and QueryInterface on the loaded DLL.
#include "module/ClassTable.h"
#include "common/Exceptions.h"
#include "storagefile/IconOverlay.h"
#include "support/LoadedLibrary.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>
#include <vector>

using cfx::test::LoadedLibrary;
using Microsoft::WRL::ComPtr;

namespace {

struct ClassCase {
    const char* name;
    CLSID clsid;
    std::vector<IID> interfaces; // QueryInterface order after IUnknown
    std::vector<IID> extras;     // answered through another interface's pointer
};

const std::vector<ClassCase>& classCases() {
    static const std::vector<ClassCase> cases = {
        {"StorageFolder",
         cfx::CLSID_StorageFolder,
         {IID_IContextMenu, IID_IPersistFolder2, IID_IShellFolder2, IID_IDropTarget,
          IID_IObjectWithSite},
         {IID_IShellFolder, IID_IPersist, IID_IPersistFolder}},
        {"StoragePropertyPage",
         cfx::CLSID_StoragePropertyPage,
         {IID_IShellExtInit, IID_IShellPropSheetExt},
         {}},
        {"StorageContextMenu",
         cfx::CLSID_StorageContextMenu,
         {IID_IShellExtInit, IID_IContextMenu},
         {}},
        {"FrozenOverlay", cfx::CLSID_FrozenOverlay, {IID_IShellIconOverlayIdentifier}, {}},
        {"InaccessibleOverlay",
         cfx::CLSID_InaccessibleOverlay,
         {IID_IShellIconOverlayIdentifier},
         {}},
        {"KeyOverlay", cfx::CLSID_KeyOverlay, {IID_IShellIconOverlayIdentifier}, {}},
    };
    return cases;
}

// Interfaces a shell host asks for that none of these classes may answer
// unless listed for it.
const std::vector<IID>& probedInterfaces() {
    static const std::vector<IID> probes = {
        IID_IContextMenu,       IID_IContextMenu2,
        IID_IContextMenu3,      IID_IPersistFolder2,
        IID_IPersistFolder3,    IID_IShellFolder2,
        IID_IShellFolder,       IID_IPersist,
        IID_IPersistFolder,     IID_IDropTarget,
        IID_IObjectWithSite,    IID_IShellExtInit,
        IID_IShellPropSheetExt, IID_IShellIconOverlayIdentifier,
        IID_IDispatch,          IID_IMarshal,
        IID_IPersistFile,       IID_IShellView,
        IID_IExtractIconW,      IID_IDataObject,
        IID_IClassFactory,      IID_IPersistIDList,
        IID_IQueryInfo,         IID_IShellIcon,
    };
    return probes;
}

bool contains(const std::vector<IID>& ids, REFIID iid) {
    for (const IID& id : ids)
        if (IsEqualIID(id, iid))
            return true;
    return false;
}

class ClassObjectTest : public testing::TestWithParam<ClassCase> {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_NE(dll_.handle(), nullptr);
        ASSERT_HRESULT_SUCCEEDED(
            dll_.getClassObject(GetParam().clsid, IID_IClassFactory, &factory_));
    }
    void TearDown() override {
        factory_.Reset();
        CoUninitialize();
    }

    ComPtr<IUnknown> create() {
        ComPtr<IUnknown> object;
        EXPECT_HRESULT_SUCCEEDED(factory_->CreateInstance(nullptr, IID_PPV_ARGS(&object)));
        return object;
    }

    LoadedLibrary dll_{L"cfxview.dll"};
    ComPtr<IClassFactory> factory_;
};

TEST_P(ClassObjectTest, AnswersExactlyItsInterfaces) {
    const ClassCase& c = GetParam();
    ComPtr<IUnknown> object = create();
    ASSERT_TRUE(object);

    for (const IID& iid : probedInterfaces()) {
        void* out = reinterpret_cast<void*>(1);
        HRESULT hr = object->QueryInterface(iid, &out);
        if (contains(c.interfaces, iid) || contains(c.extras, iid)) {
            EXPECT_EQ(hr, S_OK);
            ASSERT_NE(out, nullptr);
            static_cast<IUnknown*>(out)->Release();
        } else {
            EXPECT_EQ(hr, E_NOINTERFACE);
            EXPECT_EQ(out, nullptr) << "a refused interface must clear the out pointer";
        }
    }
}

TEST_P(ClassObjectTest, KeepsOneIdentityAcrossInterfaces) {
    const ClassCase& c = GetParam();
    ComPtr<IUnknown> object = create();
    ASSERT_TRUE(object);

    for (const IID& iid : c.interfaces) {
        ComPtr<IUnknown> viaInterface;
        ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(iid, &viaInterface));
        ComPtr<IUnknown> identity;
        ASSERT_HRESULT_SUCCEEDED(viaInterface->QueryInterface(IID_PPV_ARGS(&identity)));
        EXPECT_EQ(identity.Get(), object.Get());
    }
    // The primary interface doubles as IUnknown.
    ComPtr<IUnknown> first;
    ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(c.interfaces.front(), &first));
    EXPECT_EQ(first.Get(), object.Get());
}

TEST_P(ClassObjectTest, CountsReferencesPlainly) {
    ComPtr<IUnknown> object = create();
    ASSERT_TRUE(object);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->AddRef(), 3u);
    EXPECT_EQ(object->Release(), 2u);
    EXPECT_EQ(object->Release(), 1u);
}

TEST_P(ClassObjectTest, ListsItsInterfacesForRegistration) {
    const ClassCase& c = GetParam();
    std::vector<IID> listed = cfx::class_table::interfacesOf(c.clsid);

    ASSERT_EQ(listed.size(), c.extras.size() + c.interfaces.size() + 1);
    for (size_t i = 0; i < c.extras.size(); ++i)
        EXPECT_TRUE(contains(c.extras, listed[i])) << "entry " << i;
    for (size_t i = 0; i < c.interfaces.size(); ++i)
        EXPECT_TRUE(IsEqualIID(listed[c.extras.size() + i], c.interfaces[i])) << "entry " << i;
    EXPECT_TRUE(IsEqualIID(listed.back(), IID_IUnknown));
}

TEST_P(ClassObjectTest, RefusedInterfaceDestroysTheNewObject) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IShellView, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    factory_.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK) << "the refused object is still alive";
}

TEST_P(ClassObjectTest, IgnoresAnOuterUnknown) {
    ComPtr<IUnknown> outer = create();
    ComPtr<IUnknown> object;
    ASSERT_EQ(factory_->CreateInstance(outer.Get(), IID_PPV_ARGS(&object)), S_OK);
    ComPtr<IUnknown> identity;
    ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&identity)));
    EXPECT_EQ(identity.Get(), object.Get());
    EXPECT_NE(identity.Get(), outer.Get());
}

TEST_P(ClassObjectTest, RejectsNullOutPointers) {
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    ComPtr<IUnknown> object = create();
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

INSTANTIATE_TEST_SUITE_P(SixClasses, ClassObjectTest, testing::ValuesIn(classCases()),
                         [](const testing::TestParamInfo<ClassCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(ClassTable, RefusesForeignClassesWhenListing) {
    const CLSID foreign = {
        0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x17}};
    HRESULT hr = cfx::guarded([&] { cfx::class_table::interfacesOf(foreign); });
    EXPECT_EQ(hr, CLASS_E_CLASSNOTAVAILABLE);
}

class StorageFolderTest : public ClassObjectTest {};

TEST_P(StorageFolderTest, BaseInterfacesShareTheDerivedPointers) {
    ComPtr<IUnknown> object = create();
    ComPtr<IShellFolder> folder;
    ComPtr<IShellFolder2> folder2;
    ASSERT_HRESULT_SUCCEEDED(object.As(&folder));
    ASSERT_HRESULT_SUCCEEDED(object.As(&folder2));
    EXPECT_EQ(static_cast<IUnknown*>(folder.Get()), static_cast<IUnknown*>(folder2.Get()));

    ComPtr<IPersist> persist;
    ComPtr<IPersistFolder> persistFolder;
    ComPtr<IPersistFolder2> persistFolder2;
    ASSERT_HRESULT_SUCCEEDED(object.As(&persist));
    ASSERT_HRESULT_SUCCEEDED(object.As(&persistFolder));
    ASSERT_HRESULT_SUCCEEDED(object.As(&persistFolder2));
    EXPECT_EQ(static_cast<IUnknown*>(persist.Get()), static_cast<IUnknown*>(persistFolder2.Get()));
    EXPECT_EQ(static_cast<IUnknown*>(persistFolder.Get()),
              static_cast<IUnknown*>(persistFolder2.Get()));

    CLSID clsid{};
    ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, cfx::CLSID_StorageFolder));
}

INSTANTIATE_TEST_SUITE_P(Folder, StorageFolderTest, testing::Values(classCases()[0]),
                         [](const testing::TestParamInfo<ClassCase>&) {
                             return std::string("StorageFolder");
                         });

// Overlay handlers: their icon is an icon of the library's own file.
struct OverlayCase {
    const char* name;
    CLSID clsid;
    int iconIndex;
    int priority;
};

class OverlayTest : public testing::TestWithParam<OverlayCase> {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ComPtr<IClassFactory> factory;
        ASSERT_HRESULT_SUCCEEDED(
            dll_.getClassObject(GetParam().clsid, IID_IClassFactory, &factory));
        ASSERT_HRESULT_SUCCEEDED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&overlay_)));
    }
    void TearDown() override {
        overlay_.Reset();
        CoUninitialize();
    }

    LoadedLibrary dll_{L"cfxview.dll"};
    ComPtr<IShellIconOverlayIdentifier> overlay_;
};

TEST_P(OverlayTest, GivesItsPriority) {
    int priority = -1;
    EXPECT_EQ(overlay_->GetPriority(&priority), S_OK);
    EXPECT_EQ(priority, GetParam().priority);
    EXPECT_EQ(overlay_->GetPriority(nullptr), E_POINTER);
}

TEST_P(OverlayTest, NamesTheLibraryFileAndItsIcon) {
    wchar_t file[MAX_PATH] = L"";
    int index = -1;
    DWORD flags = 0;
    ASSERT_EQ(overlay_->GetOverlayInfo(file, MAX_PATH, &index, &flags), S_OK);
    EXPECT_EQ(std::wstring(file), dll_.path());
    EXPECT_EQ(index, GetParam().iconIndex);
    EXPECT_EQ(flags, static_cast<DWORD>(ISIOI_ICONFILE | ISIOI_ICONINDEX));
}

TEST_P(OverlayTest, RefusesABufferTooSmallForThePath) {
    const int length = static_cast<int>(dll_.path().size());
    std::wstring buffer(length + 1, L'#');
    int index = 0;
    DWORD flags = 0;
    EXPECT_EQ(overlay_->GetOverlayInfo(buffer.data(), length, &index, &flags), E_OUTOFMEMORY);
    EXPECT_EQ(overlay_->GetOverlayInfo(buffer.data(), length + 1, &index, &flags), S_OK);
    EXPECT_EQ(buffer.c_str(), dll_.path());
}

INSTANTIATE_TEST_SUITE_P(
    ThreeOverlays, OverlayTest,
    testing::Values(OverlayCase{"Frozen", cfx::CLSID_FrozenOverlay, 1, 1},
                    OverlayCase{"Inaccessible", cfx::CLSID_InaccessibleOverlay, 2, 0},
                    OverlayCase{"Key", cfx::CLSID_KeyOverlay, 3, 2}),
    [](const testing::TestParamInfo<OverlayCase>& param) { return std::string(param.param.name); });

} // namespace
