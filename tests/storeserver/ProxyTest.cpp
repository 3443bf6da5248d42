// The proxy/stub DLL that carries the storage server's interfaces out of its
// process: registered for each interface, needed for them to cross, and
// usable from another apartment of the client.
#include "RemoteStorage.h"

#include "support/LoadedLibrary.h"

namespace cfx::store::test {
namespace {

const IID* const kInterfaces[] = {&IID_IStorageServer, &IID_IStorageObject, &IID_IStorageFolder,
                                  &IID_IStorageFile,   &IID_IStorageEnum,   &IID_IStorageItem};

std::wstring guidText(REFGUID id) {
    wchar_t buffer[40];
    StringFromGUID2(id, buffer, 40);
    return buffer;
}

// The default value of a key under HKEY_CLASSES_ROOT, or empty.
std::wstring classesValue(const std::wstring& key) {
    wchar_t value[MAX_PATH] = L"";
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return {};
    return value;
}

std::wstring proxyServerOf(REFIID iid) {
    std::wstring proxyClass =
        classesValue(L"Interface\\" + guidText(iid) + L"\\ProxyStubClsid32");
    return proxyClass.empty() ? proxyClass
                              : classesValue(L"CLSID\\" + proxyClass + L"\\InprocServer32");
}

TEST(Proxy, EveryInterfaceCrossesOnlyThroughTheProxyDll) {
    cfx::test::LoadedLibrary proxy(L"cfxstorageps.dll");
    for (const IID* iid : kInterfaces)
        EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(proxyServerOf(*iid).c_str(), -1,
                                                   proxy.path().c_str(), -1, TRUE))
            << narrow(guidText(*iid));

    ASSERT_TRUE(waitForServerExit());
    ASSERT_EQ(S_OK, proxy.unregisterServer());
    for (const IID* iid : kInterfaces)
        EXPECT_TRUE(proxyServerOf(*iid).empty()) << narrow(guidText(*iid));
    // The root object's IUnknown crosses on the system's own proxies, its
    // interface not; registering the DLL is all it takes for it to cross.
    ComPtr<IUnknown> root;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StorageServer, nullptr, CLSCTX_LOCAL_SERVER,
                                     IID_PPV_ARGS(&root)));
    ComPtr<IStorageServer> server;
    HRESULT hr = root.As(&server);
    EXPECT_TRUE(hr == E_NOINTERFACE || hr == REGDB_E_IIDNOTREG) << cfx::test::hex(hr);
    ASSERT_EQ(S_OK, proxy.registerServer());
    ASSERT_EQ(S_OK, root.As(&server));
    DWORD processId = 0;
    LONG roots = 0;
    EXPECT_EQ(S_OK, server->GetServerInfo(&processId, &roots));
    EXPECT_EQ(1, roots) << "a root object was lost or kept twice";
}

struct OtherApartment {
    IStream* marshalled = nullptr;
    DWORD process = 0;
    Failure failure;

    static DWORD WINAPI run(void* parameter) {
        auto& self = *static_cast<OtherApartment*>(parameter);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ComPtr<IStorageServer> there;
            if (SUCCEEDED(CoGetInterfaceAndReleaseStream(self.marshalled, IID_PPV_ARGS(&there)))) {
                self.process = serverProcessOf(there.Get());
                self.failure = failureOf(there->LockStorage(bstr(L"C:\\Elsewhere.x").get()));
            }
        }
        CoUninitialize();
        return 0;
    }
};

TEST(Proxy, AMarshalledRootWorksFromAnotherApartment) {
    ComPtr<IStorageServer> server = connectServer();
    OtherApartment other;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IStorageServer, server.Get(),
                                                          &other.marshalled));
    KernelHandle thread(CreateThread(nullptr, 0, &OtherApartment::run, &other, 0, nullptr));
    HANDLE handles[] = {thread.get()};
    DWORD index = 0;
    ASSERT_EQ(S_OK, CoWaitForMultipleHandles(0, 30000, 1, handles, &index));
    EXPECT_EQ(serverProcessOf(server.Get()), other.process);
    EXPECT_EQ(STG_E_FILENOTFOUND, other.failure.hr);
    EXPECT_NE(std::wstring::npos, other.failure.description.find(L"Elsewhere.x"))
        << narrow(other.failure.description);
}

} // namespace
} // namespace cfx::store::test
