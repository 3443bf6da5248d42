// The DLL as COM and other programs see it: exports and imports, the presence
// mutex, DllGetClassObject, the six classes, the unload rule, the catch ladder.
#include "module/ClassTable.h"
#include "common/Exceptions.h"
#include "storagefile/IconOverlay.h" // the overlay interface's __uuidof
#include "support/ImageView.h"
#include "support/LoadedLibrary.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using cfx::test::LoadedLibrary;
using Microsoft::WRL::ComPtr;

namespace {

const wchar_t kMutexName[] = L"Global\\Coffrex 3.0 (Demo)";

bool mutexExists() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName);
    return mutex && CloseHandle(mutex);
}

// Exactly the four entry points; nothing but system DLLs, and no item list
// function of shell32 by name (they are imported by ordinal).
TEST(Image, ExportsTheFourEntryPointsAndImportsOnlyTheSystem) {
    LoadedLibrary dll(L"cfxview.dll");
    cfx::test::ImageView image(dll.handle());
    EXPECT_EQ(image.exportNames(),
              (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                     "DllUnregisterServer"}));
    for (const auto& [name, function] : image.imports()) {
        EXPECT_NE(name.rfind("lib", 0), 0u) << name << " is not a system DLL";
        EXPECT_FALSE(name == "shell32.dll" && function.rfind("IL", 0) == 0) << function;
    }
}

// The mutex lives while the library is loaded, also beside another holder
// (another process that loaded it first); a name taken by another kind of
// object stops the load.
TEST(PresenceMutex, LivesExactlyWhileTheLibraryIsLoaded) {
    EXPECT_FALSE(mutexExists());
    {
        LoadedLibrary dll(L"cfxview.dll");
        ASSERT_NE(dll.handle(), nullptr);
        EXPECT_TRUE(mutexExists());
    }
    EXPECT_FALSE(mutexExists()) << "process detach must close the mutex";
    HANDLE other = CreateMutexW(nullptr, TRUE, kMutexName);
    EXPECT_NE(LoadedLibrary(L"cfxview.dll").handle(), nullptr) << "a second holder is refused";
    EXPECT_TRUE(mutexExists()) << "the library took the other holder's mutex away";
    CloseHandle(other);
    HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, kMutexName);
    HMODULE module = LoadLibraryW((cfx::test::programFolder() + L"cfxview.dll").c_str());
    EXPECT_EQ(module, nullptr);
    if (module)
        FreeLibrary(module);
    CloseHandle(squatter);
}

class ClassObjects : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(dll_.canUnloadNow(), S_OK);
    }
    void TearDown() override { CoUninitialize(); }

    LoadedLibrary dll_{L"cfxview.dll"};
};

TEST_F(ClassObjects, ServesItsOwnClassesOnly) {
    const CLSID neighbours[] = {
        // One before the library's first class, and the storage server's class.
        {0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x17}},
        {0x7A2D5E90, 0x3B41, 0x4C6F, {0x8E, 0x2A, 0x51, 0xC9, 0xD0, 0x7B, 0x3F, 0x4E}},
        CLSID_NULL,
    };
    void* out = reinterpret_cast<void*>(1);
    for (const CLSID& clsid : neighbours) {
        EXPECT_EQ(dll_.getClassObject(clsid, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_IClassFactory, nullptr), E_POINTER);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_IDataObject, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

// Factories, server locks and objects (by any of their interfaces, past
// their factory) each keep the library loaded.
TEST_F(ClassObjects, UnloadWaitsForFactoriesLocksAndObjects) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "a factory is held";
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    ComPtr<IShellFolder> folder;
    ComPtr<IPersist> persist;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)), S_OK);
    ASSERT_EQ(folder.As(&persist), S_OK);
    factory.Reset();
    folder.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "two locks and an object";
    persist.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "two locks";
    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "the second factory";
    factory.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
}

struct ClassCase {
    const char* name;
    CLSID clsid;
    int overlayIcon, overlayPriority;
    std::vector<IID> needed; // what the shell asks the class for
};

// clang-format off
const ClassCase kClasses[] = {
    {"StorageFolder", cfx::CLSID_StorageFolder, 0, 0,
     {IID_IShellFolder, IID_IShellFolder2, IID_IPersist, IID_IPersistFolder, IID_IPersistFolder2,
      IID_IContextMenu, IID_IDropTarget, IID_IObjectWithSite}},
    {"StoragePropertyPage", cfx::CLSID_StoragePropertyPage, 0, 0,
     {IID_IShellExtInit, IID_IShellPropSheetExt}},
    {"StorageContextMenu", cfx::CLSID_StorageContextMenu, 0, 0, {IID_IShellExtInit, IID_IContextMenu}},
    {"FrozenOverlay", cfx::CLSID_FrozenOverlay, 1, 1, {IID_IShellIconOverlayIdentifier}},
    {"InaccessibleOverlay", cfx::CLSID_InaccessibleOverlay, 2, 0, {IID_IShellIconOverlayIdentifier}},
    {"KeyOverlay", cfx::CLSID_KeyOverlay, 3, 2, {IID_IShellIconOverlayIdentifier}},
};
// clang-format on

// Interfaces a shell host asks for.
const IID kProbes[] = {IID_IContextMenu,  IID_IContextMenu3,      IID_IPersistFolder2,
                       IID_IShellFolder2, IID_IPersist,           IID_IDropTarget,
                       IID_IShellExtInit, IID_IShellPropSheetExt, IID_IShellIconOverlayIdentifier,
                       IID_IMarshal,      IID_IPersistFile,       IID_IShellView,
                       IID_IDataObject,   IID_IClassFactory,      IID_IObjectWithSite};

bool contains(const std::vector<IID>& ids, REFIID iid) {
    return std::any_of(ids.begin(), ids.end(), [&](REFIID id) { return IsEqualIID(id, iid); });
}

class EachClass : public ClassObjects, public testing::WithParamInterface<ClassCase> {};

// What the shell needs is answered with one identity, the rest refused; the
// factory ignores an outer unknown; overlays name an icon of the library file.
TEST_P(EachClass, AnswerWhatTheShellAsksWithOneIdentityAndLeaveNothingAlive) {
    const ClassCase& c = GetParam();
    ComPtr<IClassFactory> factory;
    ComPtr<IUnknown> object, outer, identity;
    ASSERT_EQ(dll_.getClassObject(c.clsid, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    const std::vector<IID> listed = cfx::module::interfacesOf(c.clsid);
    for (const IID& iid : c.needed)
        EXPECT_TRUE(contains(listed, iid)) << "a needed interface is missing";
    for (const IID& iid : kProbes) {
        void* out = reinterpret_cast<void*>(1);
        const HRESULT hr = object->QueryInterface(iid, &out);
        EXPECT_EQ(hr, contains(listed, iid) ? S_OK : E_NOINTERFACE);
        ComPtr<IUnknown> viaInterface = cfx::adopt(static_cast<IUnknown*>(out));
        EXPECT_EQ(FAILED(hr), out == nullptr) << "a refused interface must clear the out pointer";
        if (SUCCEEDED(hr) && SUCCEEDED(viaInterface.As(&identity))) {
            EXPECT_EQ(identity.Get(), object.Get());
        }
    }
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    if (c.overlayIcon) {
        ComPtr<IShellIconOverlayIdentifier> overlay;
        ASSERT_EQ(object.As(&overlay), S_OK);
        int priority = -1, index = -1;
        DWORD flags = 0;
        EXPECT_EQ(overlay->GetPriority(&priority), S_OK);
        EXPECT_EQ(priority, c.overlayPriority);
        std::wstring file(dll_.path().size() + 1, L'#');
        const int fits = static_cast<int>(file.size());
        EXPECT_EQ(overlay->GetOverlayInfo(file.data(), fits - 1, &index, &flags), E_OUTOFMEMORY);
        ASSERT_EQ(overlay->GetOverlayInfo(file.data(), fits, &index, &flags), S_OK);
        EXPECT_EQ(file.c_str(), dll_.path());
        EXPECT_EQ(index, c.overlayIcon);
        EXPECT_EQ(flags, static_cast<DWORD>(ISIOI_ICONFILE | ISIOI_ICONINDEX));
    }
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IShellView, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(factory->CreateInstance(object.Get(), IID_PPV_ARGS(&outer)), S_OK);
    EXPECT_NE(outer.Get(), object.Get()) << "an outer unknown is ignored: the object is its own";
    object = outer = identity = nullptr;
    factory.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK) << "an object is still alive";
}

INSTANTIATE_TEST_SUITE_P(SixClasses, EachClass, testing::ValuesIn(kClasses),
                         [](const auto& param) { return std::string(param.param.name); });

// The catch ladder every entry point goes through.
TEST(CatchLadder, MapsEachFailureToItsHresult) {
    const struct {
        std::function<HRESULT()> body;
        HRESULT expected;
    } cases[] = {
        {[] { return S_FALSE; }, S_FALSE}, // the body's own result
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {[]() -> HRESULT { throw _com_error(STG_E_FILENOTFOUND); }, STG_E_FILENOTFOUND},
        {[]() -> HRESULT { throw HRESULT(STG_E_ACCESSDENIED); }, STG_E_ACCESSDENIED},
        {[]() -> HRESULT { throw std::runtime_error("unexpected"); }, E_UNEXPECTED},
        {[]() -> HRESULT { throw 42; }, E_UNEXPECTED},
        {[]() -> HRESULT { throw cfx::win_except(ERROR_ACCESS_DENIED); }, HRESULT(0x80070005)},
        // Only the low 16 bits of a positive code survive.
        {[]() -> HRESULT { throw cfx::win_except(0x12345); }, HRESULT(0x80072345)},
        // CryptoAPI reports HRESULT-shaped codes through GetLastError: kept as they are.
        {[]() -> HRESULT { throw cfx::win_except(DWORD(NTE_BAD_KEYSET)); }, NTE_BAD_KEYSET},
        {[]() -> HRESULT { throw cfx::win_except(0); }, S_OK},
        {[]() -> HRESULT { cfx::raise(E_INVALIDARG); }, E_INVALIDARG},
        {[] { return cfx::check(S_FALSE), S_OK; }, S_OK},
        {[] { return cfx::check(DISP_E_TYPEMISMATCH), S_OK; }, DISP_E_TYPEMISMATCH},
        {[] { return cfx::notNull(static_cast<int*>(nullptr)), S_OK; }, E_POINTER},
        {[]() -> HRESULT { SetLastError(ERROR_INVALID_HANDLE), cfx::throwLastError(); },
         HRESULT(0x80070006)},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cfx::guarded(cases[i].body), cases[i].expected) << "case " << i;
    EXPECT_EQ(cfx::guarded([] {}), S_OK);
}

} // namespace
