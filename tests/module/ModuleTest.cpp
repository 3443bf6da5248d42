// The DLL as COM and other programs see it: its exports and imports, the
// presence mutex, DllGetClassObject, the unload rule and the catch ladder.
#include "module/ClassTable.h"
#include "common/Exceptions.h"
#include "support/ImageView.h"
#include "support/LoadedLibrary.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

using cfx::test::ImageView;
using cfx::test::LoadedLibrary;
using Microsoft::WRL::ComPtr;

namespace {

const wchar_t kMutexName[] = L"Global\\Coffrex 3.0 (Demo)";

bool mutexExists() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName);
    if (!mutex)
        return false;
    CloseHandle(mutex);
    return true;
}

// Exactly the four entry points; nothing but system DLLs, and no item list
// function of shell32 by name (they are imported by ordinal).
TEST(Image, ExportsTheFourEntryPointsAndImportsOnlyTheSystem) {
    LoadedLibrary dll(L"cfxview.dll");
    ASSERT_NE(dll.handle(), nullptr);
    std::set<std::string> expected = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                      "DllUnregisterServer"};
    EXPECT_EQ(ImageView(dll.handle()).exportNames(), expected);
    for (const auto& [name, function] : ImageView(dll.handle()).imports()) {
        EXPECT_NE(name.rfind("lib", 0), 0u) << name << " is not a system DLL";
        if (name == "shell32.dll") {
            EXPECT_NE(function.rfind("IL", 0), 0u) << function << " is imported by name";
        }
    }
}

TEST(PresenceMutex, LivesExactlyWhileTheLibraryIsLoaded) {
    EXPECT_FALSE(mutexExists());
    {
        LoadedLibrary dll(L"cfxview.dll");
        ASSERT_NE(dll.handle(), nullptr);
        EXPECT_TRUE(mutexExists());
    }
    EXPECT_FALSE(mutexExists()) << "process detach must close the mutex";
}

TEST(PresenceMutex, AnotherObjectWithItsNameStopsTheLoad) {
    // CreateMutexW fails on a name taken by another kind of object, and a
    // library that cannot announce itself refuses to load.
    HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, kMutexName);
    ASSERT_NE(squatter, nullptr);
    HMODULE module = LoadLibraryW((cfx::test::programFolder() + L"cfxview.dll").c_str());
    EXPECT_EQ(module, nullptr);
    if (module)
        FreeLibrary(module);
    CloseHandle(squatter);
}

// Runs this program again, limited to one test, with a marker in its environment.
DWORD runChildTest(const char* testName) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::string filter(testName);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=" +
                           std::wstring(filter.begin(), filter.end());
    SetEnvironmentVariableW(L"CFX_CHILD_TEST", L"1");
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process);
    SetEnvironmentVariableW(L"CFX_CHILD_TEST", nullptr);
    if (!started)
        return ~0u;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = ~0u;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(PresenceMutex, SecondProcessLoadsBesideTheFirst) {
    LoadedLibrary dll(L"cfxview.dll");
    ASSERT_NE(dll.handle(), nullptr);
    EXPECT_EQ(runChildTest("ChildProcess.LoadsTheLibrary"), 0u);
    EXPECT_TRUE(mutexExists()) << "the second process must not take the mutex away";
}

TEST(ChildProcess, LoadsTheLibrary) {
    if (!GetEnvironmentVariableW(L"CFX_CHILD_TEST", nullptr, 0))
        GTEST_SKIP() << "runs only as the second process of another test";
    EXPECT_TRUE(mutexExists());
    LoadedLibrary dll(L"cfxview.dll");
    ASSERT_NE(dll.handle(), nullptr);
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(dll.getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&factory)), S_OK);
}

class ClassObjects : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_NE(dll_.handle(), nullptr);
        ASSERT_EQ(dll_.canUnloadNow(), S_OK);
    }
    void TearDown() override { CoUninitialize(); }

    LoadedLibrary dll_{L"cfxview.dll"};
};

TEST_F(ClassObjects, ServesANewFactoryForItsOwnClassesOnly) {
    ComPtr<IClassFactory> first, second;
    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&second)), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    first.Reset();
    second.Reset();
    const CLSID neighbours[] = {
        // One past each end of the library's range, and the storage server's class.
        {0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x17}},
        {0x6B3E91D2, 0x0C4F, 0x4A87, {0x9E, 0x15, 0xD2, 0x7A, 0x40, 0xB8, 0x5C, 0x1E}},
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
    EXPECT_EQ(dll_.canUnloadNow(), S_OK) << "a refused factory is still alive";
}

TEST_F(ClassObjects, UnloadWaitsForFactoriesLocksAndObjects) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageContextMenu, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "a factory is held";

    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    ComPtr<IContextMenu> menu;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&menu)), S_OK);
    factory.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "two locks and an object";

    menu.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "two locks";

    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageContextMenu, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "the second factory";
    factory.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
}

TEST_F(ClassObjects, ObjectsOutliveTheirFactory) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(dll_.getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&factory)), S_OK);
    ComPtr<IShellFolder> folder;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)), S_OK);
    factory.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE);
    ComPtr<IPersist> persist;
    ASSERT_EQ(folder.As(&persist), S_OK);
    folder.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "one interface of the object is still held";
    persist.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
}

TEST_F(ClassObjects, ComLoadsAndUnloadsTheLibraryThroughTheRegistry) {
    // What the shell does: CoCreateInstance through an InprocServer32 entry.
    // The test registers the folder class by hand in its own prefix. (Wine's
    // COM reads HKEY_CLASSES_ROOT only, without the per-user classes.)
    std::wstring key = L"CLSID\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C18}";
    HKEY server;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (key + L"\\InprocServer32").c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &server, nullptr),
              ERROR_SUCCESS);
    std::wstring path = dll_.path();
    RegSetValueExW(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegSetValueExW(server, L"ThreadingModel", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(L"Apartment"), sizeof(L"Apartment"));
    RegCloseKey(server);

    ComPtr<IShellFolder2> folder;
    EXPECT_EQ(CoCreateInstance(cfx::CLSID_StorageFolder, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(&folder)),
              S_OK);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE);
    folder.Reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
}

// The catch ladder every entry point goes through.
TEST(CatchLadder, MapsEachFailureToItsHresult) {
    const struct {
        std::function<HRESULT()> body;
        HRESULT expected;
    } cases[] = {
        {[] { return S_FALSE; }, S_FALSE}, // the body's own result
        {[] { return E_NOTIMPL; }, E_NOTIMPL},
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {[]() -> HRESULT { throw _com_error(STG_E_FILENOTFOUND); }, STG_E_FILENOTFOUND},
        {[]() -> HRESULT { throw HRESULT(STG_E_ACCESSDENIED); }, STG_E_ACCESSDENIED},
        {[]() -> HRESULT { throw std::runtime_error("unexpected"); }, E_UNEXPECTED},
        {[]() -> HRESULT { throw 42; }, E_UNEXPECTED},
        {[]() -> HRESULT { throw cfx::win_except(ERROR_ACCESS_DENIED); }, HRESULT(0x80070005)},
        // Only the low 16 bits of a positive code survive.
        {[]() -> HRESULT { throw cfx::win_except(0x12345); }, HRESULT(0x80072345)},
        // CryptoAPI reports HRESULT-shaped codes through GetLastError: kept as they are.
        {[]() -> HRESULT { throw cfx::win_except(static_cast<DWORD>(NTE_BAD_KEYSET)); },
         NTE_BAD_KEYSET},
        {[]() -> HRESULT { throw cfx::win_except(0); }, S_OK},
        {[]() -> HRESULT { cfx::raise(E_INVALIDARG); }, E_INVALIDARG},
        {[] {
             cfx::check(S_FALSE);
             return S_OK;
         },
         S_OK},
        {[] {
             cfx::check(DISP_E_TYPEMISMATCH);
             return S_OK;
         },
         DISP_E_TYPEMISMATCH},
        {[] {
             cfx::notNull(static_cast<int*>(nullptr));
             return S_OK;
         },
         E_POINTER},
        {[]() -> HRESULT {
             SetLastError(ERROR_INVALID_HANDLE);
             cfx::throwLastError();
         },
         HRESULT(0x80070006)},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cfx::guarded(cases[i].body), cases[i].expected) << "case " << i;
    EXPECT_EQ(cfx::guarded([] {}), S_OK);
}

TEST(WindowsError, CarriesTheSystemTextWithoutItsLineEnd) {
    cfx::win_except error(ERROR_ACCESS_DENIED);
    EXPECT_EQ(error.code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_FALSE(error.message().empty());
    EXPECT_NE(error.message().back(), L'\n');
    EXPECT_STRNE(error.what(), "");
    EXPECT_NE(error.message(), cfx::win_except(ERROR_FILE_NOT_FOUND).message());
}

} // namespace
