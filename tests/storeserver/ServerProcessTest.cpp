// cfxstore.exe as its clients see it: started by activation, shared by root
// objects (and by client processes: the churn tests), gone a few seconds after
// its last client, and failures that come back with an error object naming
// the item.
#include "RemoteStorage.h"

#include "support/LoadedLibrary.h"

namespace cfx::store::test {
namespace {

using cfx::check;

TEST(ServerProcess, StartsOnActivationAndServesEveryRootObjectFromOneProcess) {
    ASSERT_TRUE(waitForServerExit(15000));
    ComPtr<IStorageServer> first = connectServer();
    ComPtr<IStorageServer> second = connectServer();
    DWORD processId = 0;
    LONG roots = 0;
    ASSERT_EQ(S_OK, first->GetServerInfo(&processId, &roots));
    EXPECT_NE(GetCurrentProcessId(), processId);
    EXPECT_EQ(2, roots);
    EXPECT_EQ(processId, serverProcessOf(second.Get()));
    EXPECT_EQ(1u, serverProcesses().size());
}

TEST(ServerProcess, LingersAfterItsLastClientThenExits) {
    ComPtr<IStorageServer> server = connectServer();
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, serverProcessOf(server.Get())));
    ASSERT_TRUE(process);
    server.Reset();
    // A client that makes one root object per operation finds it still there.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.get(), 500));
    ComPtr<IStorageServer> again = connectServer();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.get(), 0));
    again.Reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 20000));
}

TEST(ServerProcess, FailuresCarryAnErrorObjectThatNamesTheItem) {
    ScratchFolder scratch;
    ComPtr<IStorageServer> server = connectServer();
    ComPtr<IStorageFolder> root = createStorage(server.Get(), scratch.file(L"s.demo-coffrex"));
    ComPtr<IStorageItem> item;
    Failure missing = failureOf(root->GetItemInfo(bstr(L"Nowhere.txt").get(), &item));
    EXPECT_EQ(STG_E_FILENOTFOUND, missing.hr);
    EXPECT_NE(std::wstring::npos, missing.description.find(L"Nowhere.txt"))
        << narrow(missing.description);

    ComPtr<IStorageObject> storage;
    Failure notThere =
        failureOf(server->OpenStorage(bstr(scratch.file(L"absent.demo-coffrex")).get(), &storage));
    EXPECT_EQ(STG_E_FILENOTFOUND, notThere.hr);
    EXPECT_NE(std::wstring::npos, notThere.description.find(L"absent.demo-coffrex"))
        << narrow(notThere.description);

    Failure relative = failureOf(server->OpenStorage(bstr(L"s.demo-coffrex").get(), &storage));
    EXPECT_EQ(E_INVALIDARG, relative.hr);
    EXPECT_FALSE(relative.description.empty());

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, root.As(&support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IStorageFolder));
}

// Wine's COM keeps the class registration of a killed server: later
// activations in the same Wine session reach the dead process
// (RPC_S_SERVER_UNAVAILABLE) instead of starting a new one. This test runs
// as a program of its own, and reads the file back with the engine.
TEST(ServerKilled, LosesNothingCommittedBefore) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"killed.demo-coffrex");
    const std::vector<BYTE> kept = patternBytes(100000, 7);
    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path);
        writeFile(file(root.Get(), L"kept.bin", true).Get(), kept);

        // Half a file written, uncommitted, when the server dies.
        ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, file(root.Get(), L"kept.bin", false)->OpenStream(&stream));
        std::vector<BYTE> other = patternBytes(4096, 8);
        for (int i = 0; i < 10; ++i)
            ASSERT_EQ(S_OK, stream->Write(other.data(), 4096, nullptr));
        KernelHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverProcessOf(server.Get())));
        ASSERT_TRUE(TerminateProcess(process.get(), 9));
        WaitForSingleObject(process.get(), 10000);
        HRESULT hr = stream->Write(other.data(), 4096, nullptr);
        EXPECT_TRUE(FAILED(hr)) << "a write to a dead server succeeded";
    }
    // What the file holds now, read as the next server would read it.
    auto container = Container::open(path);
    unlockWithInstalledKey(*container);
    FileStream stream = container->root().item(L"kept.bin").openStream();
    std::vector<BYTE> read(static_cast<size_t>(stream.size()));
    read.resize(stream.read(0, read.data(), static_cast<ULONG>(read.size())));
    EXPECT_EQ(kept, read);
}

// The proxy/stub DLL carries the interfaces out of the server's process:
// registered for each, needed for them to cross (the library's storage
// pointer tests carry them on to other apartments).
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
    std::wstring proxyClass = classesValue(L"Interface\\" + guidText(iid) + L"\\ProxyStubClsid32");
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

} // namespace
} // namespace cfx::store::test
