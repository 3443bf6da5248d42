// The six classes as the shell meets them: through DllGetClassObject, the
// class factory and QueryInterface on the loaded DLL.
#include "module/ClassTable.h"
#include "common/Exceptions.h"
#include "storagefile/IconOverlay.h" // the overlay interface's __uuidof
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
    std::vector<IID> needed; // what the shell asks the class for
};

void PrintTo(const ClassCase& c, std::ostream* out) {
    *out << c.name;
}

const ClassCase kClasses[] = {
    {"StorageFolder",
     cfx::CLSID_StorageFolder,
     {IID_IShellFolder, IID_IShellFolder2, IID_IPersist, IID_IPersistFolder, IID_IPersistFolder2,
      IID_IContextMenu, IID_IDropTarget, IID_IObjectWithSite}},
    {"StoragePropertyPage",
     cfx::CLSID_StoragePropertyPage,
     {IID_IShellExtInit, IID_IShellPropSheetExt}},
    {"StorageContextMenu", cfx::CLSID_StorageContextMenu, {IID_IShellExtInit, IID_IContextMenu}},
    {"FrozenOverlay", cfx::CLSID_FrozenOverlay, {IID_IShellIconOverlayIdentifier}},
    {"InaccessibleOverlay", cfx::CLSID_InaccessibleOverlay, {IID_IShellIconOverlayIdentifier}},
    {"KeyOverlay", cfx::CLSID_KeyOverlay, {IID_IShellIconOverlayIdentifier}},
};

// Interfaces a shell host asks for.
const IID kProbes[] = {
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
        ASSERT_HRESULT_SUCCEEDED(dll_.getClassObject(GetParam().clsid, IID_PPV_ARGS(&factory_)));
    }
    void TearDown() override {
        factory_.Reset();
        CoUninitialize();
    }

    LoadedLibrary dll_{L"cfxview.dll"};
    ComPtr<IClassFactory> factory_;
};

// Every interface the class lists for registration is answered, with one
// identity, and every other is refused with the out pointer cleared.
TEST_P(ClassObjectTest, AnswersWhatItListsWithOneIdentity) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(factory_->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    const std::vector<IID> listed = cfx::module::interfacesOf(GetParam().clsid);
    for (const IID& iid : GetParam().needed)
        EXPECT_TRUE(contains(listed, iid)) << "a needed interface is missing";
    EXPECT_TRUE(contains(listed, IID_IUnknown));
    for (const IID& iid : kProbes) {
        void* out = reinterpret_cast<void*>(1);
        HRESULT hr = object->QueryInterface(iid, &out);
        if (!contains(listed, iid)) {
            EXPECT_EQ(hr, E_NOINTERFACE);
            EXPECT_EQ(out, nullptr) << "a refused interface must clear the out pointer";
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        ComPtr<IUnknown> viaInterface = cfx::adopt(static_cast<IUnknown*>(out));
        ComPtr<IUnknown> identity;
        ASSERT_EQ(viaInterface.As(&identity), S_OK);
        EXPECT_EQ(identity.Get(), object.Get());
    }
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    // A base interface is answered with its derived interface's pointer.
    ComPtr<IPersist> persist;
    ComPtr<IPersistFolder2> persistFolder2;
    if (SUCCEEDED(object.As(&persist)) && SUCCEEDED(object.As(&persistFolder2))) {
        EXPECT_EQ(static_cast<IUnknown*>(persist.Get()),
                  static_cast<IUnknown*>(persistFolder2.Get()));
        CLSID clsid{};
        ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, GetParam().clsid));
    }
}

TEST_P(ClassObjectTest, FactoryRefusesWhatItCannotMakeAndLeavesNothingAlive) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IShellView, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    // An outer unknown is ignored: the object is its own.
    ComPtr<IUnknown> outer, object, identity;
    ASSERT_EQ(factory_->CreateInstance(nullptr, IID_PPV_ARGS(&outer)), S_OK);
    ASSERT_EQ(factory_->CreateInstance(outer.Get(), IID_PPV_ARGS(&object)), S_OK);
    ASSERT_EQ(object.As(&identity), S_OK);
    EXPECT_NE(identity.Get(), outer.Get());
    outer.Reset();
    object.Reset();
    identity.Reset();
    factory_.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK) << "an object is still alive";
}

INSTANTIATE_TEST_SUITE_P(SixClasses, ClassObjectTest, testing::ValuesIn(kClasses),
                         [](const testing::TestParamInfo<ClassCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(ClassTable, RefusesForeignClassesWhenListing) {
    const CLSID foreign = {
        0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x17}};
    EXPECT_EQ(cfx::guarded([&] { cfx::module::interfacesOf(foreign); }), CLASS_E_CLASSNOTAVAILABLE);
}

// Overlay handlers: their icon is an icon of the library's own file.
TEST(OverlayClasses, GiveTheirPriorityAndIconOfTheLibraryFile) {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        LoadedLibrary dll(L"cfxview.dll");
        const std::wstring path = dll.path();
        const struct {
            CLSID clsid;
            int iconIndex;
            int priority;
        } cases[] = {{cfx::CLSID_FrozenOverlay, 1, 1},
                     {cfx::CLSID_InaccessibleOverlay, 2, 0},
                     {cfx::CLSID_KeyOverlay, 3, 2}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.iconIndex);
            ComPtr<IClassFactory> factory;
            ComPtr<IShellIconOverlayIdentifier> overlay;
            ASSERT_EQ(dll.getClassObject(c.clsid, IID_PPV_ARGS(&factory)), S_OK);
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&overlay)), S_OK);
            int priority = -1, index = -1;
            EXPECT_EQ(overlay->GetPriority(&priority), S_OK);
            EXPECT_EQ(priority, c.priority);
            EXPECT_EQ(overlay->GetPriority(nullptr), E_POINTER);
            std::wstring file(path.size() + 1, L'#');
            DWORD flags = 0;
            const int fits = static_cast<int>(file.size());
            EXPECT_EQ(overlay->GetOverlayInfo(file.data(), fits - 1, &index, &flags),
                      E_OUTOFMEMORY);
            ASSERT_EQ(overlay->GetOverlayInfo(file.data(), fits, &index, &flags), S_OK);
            EXPECT_EQ(file.c_str(), path);
            EXPECT_EQ(index, c.iconIndex);
            EXPECT_EQ(flags, static_cast<DWORD>(ISIOI_ICONFILE | ISIOI_ICONINDEX));
        }
    }
    CoUninitialize();
}

} // namespace
