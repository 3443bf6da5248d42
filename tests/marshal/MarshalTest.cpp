// The storage server's interfaces cross process boundaries through
// cfxstorageps.dll: this program is the client, fake_storage_server.exe (a
// local server started by COM) the other side, and every method of every
// interface is called through the proxies.
#include "support/FakeStorageServer.h"
#include "support/LoadedLibrary.h"
#include "support/MemoryStorage.h"
#include "support/TestText.h"
#include "common/ErrorObjectHook.h"
#include "support/TestCertificate.h"

#include "common/Handles.h"

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::test {
namespace {

// The context callers ask the storage server in.
constexpr DWORD kServerContext = CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kServerContext == 0x15);

struct InterfaceRow {
    const IID* iid;
    const wchar_t* name;
};
const InterfaceRow kInterfaces[] = {
    {&IID_IStorageServer, L"IStorageServer"}, {&IID_IStorageObject, L"IStorageObject"},
    {&IID_IStorageFolder, L"IStorageFolder"}, {&IID_IStorageFile, L"IStorageFile"},
    {&IID_IStorageEnum, L"IStorageEnum"},     {&IID_IStorageItem, L"IStorageItem"},
};

Bstr text(const std::wstring& value) {
    return Bstr(SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
}

std::wstring fromBstr(BSTR value) {
    return value ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

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

// A failed call's HRESULT, and the description of its error object found the
// way the library finds it: ISupportErrorInfo of the interface that was
// called, then GetErrorInfo. Call it directly on the call's result.
testing::AssertionResult failedWith(HRESULT expected, HRESULT actual, IUnknown* called, REFIID iid,
                                    const std::wstring& mention) {
    if (actual != expected)
        return testing::AssertionFailure()
               << "got " << hex(actual) << ", expected " << hex(expected);
    ComPtr<ISupportErrorInfo> support;
    if (FAILED(called->QueryInterface(IID_PPV_ARGS(&support))) ||
        support->InterfaceSupportsErrorInfo(iid) != S_OK)
        return testing::AssertionFailure() << "the object has no error information";
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info)
        return testing::AssertionFailure() << "no error object arrived";
    Bstr description;
    info->GetDescription(description.put());
    std::wstring found = fromBstr(description.get());
    if (found.find(mention) == std::wstring::npos)
        return testing::AssertionFailure()
               << "the description \"" << narrow(found) << "\" does not name " << narrow(mention);
    return testing::AssertionSuccess();
}

ULONGLONG ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return ticks(time);
}

// The program's apartment, and the local server's registration in the test's
// own prefix (the prefix is fresh, so the registration is this test's alone).
class ComApartment : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(hrIs(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_TRUE(hrIs(S_OK, cfx::registerErrorObjectHook()));
        ASSERT_EQ(registerFakeStorageServer(), ERROR_SUCCESS);
    }
    void TearDown() override { CoUninitialize(); }
};
[[maybe_unused]] testing::Environment* const kApartment =
    testing::AddGlobalTestEnvironment(new ComApartment);

// One server process serves the suite: COM starts it once (Wine waits a
// second after starting a server), and a root object held for the suite keeps
// it running between tests; each test makes storages of its own. When the
// suite lets go of its last object, the server must exit.
class MarshalTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        EXPECT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "a server of an earlier test still runs";
        LoadedLibrary proxy(L"cfxstorageps.dll");
        EXPECT_TRUE(hrIs(S_OK, proxy.registerServer()));
        suiteRoot_ = connect().Detach();
    }
    static void TearDownTestSuite() {
        if (suiteRoot_)
            suiteRoot_->Release();
        suiteRoot_ = nullptr;
        EXPECT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "the server outlived its last object";
    }
    void SetUp() override {
        ASSERT_TRUE(suiteRoot_) << "no server";
        ASSERT_TRUE(hrIs(S_OK, proxy_.registerServer()));
    }

    static ComPtr<IStorageServer> connect() {
        ComPtr<IClassFactory> factory;
        ComPtr<IStorageServer> server;
        EXPECT_TRUE(hrIs(S_OK, CoGetClassObject(CLSID_StorageServer, kServerContext, nullptr,
                                                IID_PPV_ARGS(&factory))));
        if (factory) {
            EXPECT_TRUE(hrIs(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&server))));
        }
        return server;
    }

    // A new storage at path, through CreateStorage with the test certificate.
    static ComPtr<IStorageObject> create(IStorageServer* server, const std::wstring& path) {
        const auto& cert = testCertificate();
        EXPECT_FALSE(cert.encoded.empty()) << "no certificate could be made";
        ComPtr<IStorageObject> storage;
        EXPECT_TRUE(hrIs(S_OK, server->CreateStorage(text(path).get(),
                                                     static_cast<ULONG>(cert.encoded.size()),
                                                     cert.encoded.data(), &storage)));
        return storage;
    }

    static ComPtr<IStorageFolder> rootFolder(IStorageServer* server, const std::wstring& path) {
        ComPtr<IStorageFolder> root;
        if (auto storage = create(server, path)) {
            EXPECT_TRUE(hrIs(S_OK, storage.As(&root)));
        }
        return root;
    }

    LoadedLibrary proxy_{L"cfxstorageps.dll"};
    static inline IStorageServer* suiteRoot_ = nullptr;
};

std::wstring nameOf(IStorageItem* item) {
    Bstr name;
    EXPECT_TRUE(hrIs(S_OK, item->GetName(name.put())));
    return fromBstr(name.get());
}

LONG typeOf(IStorageItem* item) {
    LONG type = 0;
    EXPECT_TRUE(hrIs(S_OK, item->GetType(&type)));
    return type;
}

std::vector<std::wstring> openStorages(IStorageServer* server) {
    std::vector<std::wstring> paths;
    SAFEARRAY* list = nullptr;
    EXPECT_TRUE(hrIs(S_OK, server->ListStorages(&list)));
    if (!list)
        return paths;
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(list, &type)) || type != VT_BSTR || SafeArrayGetDim(list) != 1) {
        // Leaked rather than handed to SafeArrayDestroy: it is not what it claims.
        ADD_FAILURE() << "the list is not a one-dimensional array of BSTR";
        return paths;
    }
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(list, 1, &lower);
    SafeArrayGetUBound(list, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        Bstr path;
        EXPECT_TRUE(hrIs(S_OK, SafeArrayGetElement(list, &i, path.put())));
        paths.push_back(fromBstr(path.get()));
    }
    SafeArrayDestroy(list);
    return paths;
}

std::vector<std::wstring> propertyIds(IStorageObject* object) {
    ULONG count = 0;
    GUID* ids = nullptr;
    EXPECT_TRUE(hrIs(S_OK, object->ListProperties(&count, &ids)));
    std::vector<std::wstring> result;
    for (ULONG i = 0; i < count; ++i)
        result.push_back(guidText(ids[i]));
    CoTaskMemFree(ids);
    return result;
}

TEST_F(MarshalTest, ProxyDllIsRegisteredForEveryInterface) {
    for (const auto& row : kInterfaces) {
        SCOPED_TRACE(narrow(row.name));
        std::wstring key = L"Interface\\" + guidText(*row.iid);
        EXPECT_EQ(classesValue(key), row.name);
        std::wstring proxyClass = classesValue(key + L"\\ProxyStubClsid32");
        ASSERT_FALSE(proxyClass.empty());
        std::wstring server = classesValue(L"CLSID\\" + proxyClass + L"\\InprocServer32");
        EXPECT_EQ(CompareStringOrdinal(server.c_str(), -1, proxy_.path().c_str(), -1, TRUE),
                  CSTR_EQUAL)
            << narrow(server);
    }
}

TEST_F(MarshalTest, ServerAnswersFromAnotherProcessThroughProxies) {
    auto server = connect();
    ASSERT_TRUE(server);
    DWORD processId = 0;
    LONG roots = 0;
    ASSERT_TRUE(hrIs(S_OK, server->GetServerInfo(&processId, &roots)));
    EXPECT_NE(processId, 0u);
    EXPECT_NE(processId, GetCurrentProcessId());
    EXPECT_GE(roots, 2); // the suite's and this one
    // Only a proxy answers IClientSecurity; the object itself does not.
    ComPtr<IClientSecurity> security;
    EXPECT_TRUE(hrIs(S_OK, server.As(&security)));

    // Another root object comes from the same process, and its last release
    // reaches the server.
    auto second = connect();
    ASSERT_TRUE(second);
    DWORD secondProcess = 0;
    LONG more = 0;
    ASSERT_TRUE(hrIs(S_OK, second->GetServerInfo(&secondProcess, &more)));
    EXPECT_EQ(secondProcess, processId);
    EXPECT_EQ(more, roots + 1);
    second.Reset();
    ASSERT_TRUE(hrIs(S_OK, server->GetServerInfo(&processId, &more)));
    EXPECT_EQ(more, roots);
}

TEST_F(MarshalTest, StorageLifecycleCalls) {
    auto server = connect();
    ASSERT_TRUE(server);
    const std::wstring folder = L"C:\\Lifecycle\\";
    const std::wstring first = folder + L"First.demo-coffrex";
    const std::wstring second = folder + L"Second.demo-coffrex";
    const std::wstring missing = folder + L"Missing.demo-coffrex";
    // The open storages of this test; the suite's server also holds others'.
    auto openHere = [&] {
        std::vector<std::wstring> here;
        for (auto& path : openStorages(server.Get()))
            if (path.compare(0, folder.size(), folder) == 0)
                here.push_back(path);
        return here;
    };

    auto storage = create(server.Get(), first);
    ASSERT_TRUE(storage);
    ASSERT_TRUE(create(server.Get(), second));
    const auto& cert = testCertificate();
    ComPtr<IStorageObject> again;
    EXPECT_TRUE(
        failedWith(STG_E_FILEALREADYEXISTS,
                   server->CreateStorage(text(first).get(), static_cast<ULONG>(cert.encoded.size()),
                                         cert.encoded.data(), &again),
                   server.Get(), IID_IStorageServer, first));
    EXPECT_FALSE(again);

    // The certificate's bytes arrived whole: the server read its key identifier
    // and keeps the certificate itself as the key record.
    VARIANT value;
    VariantInit(&value);
    ASSERT_TRUE(hrIs(S_OK, storage->GetProperty(StorageProperty_KeyId, &value)));
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_FALSE(cert.keyIdBase64.empty());
    EXPECT_EQ(fromBstr(value.bstrVal), cert.keyIdBase64);
    VariantClear(&value);
    ASSERT_TRUE(hrIs(S_OK, storage->GetProperty(StorageProperty_KeyRecord, &value)));
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(fromBstr(value.bstrVal), cert.encodedBase64);
    VariantClear(&value);

    EXPECT_EQ(openHere(), (std::vector<std::wstring>{first, second}));
    ComPtr<IStorageObject> none;
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, server->OpenStorage(text(missing).get(), &none),
                           server.Get(), IID_IStorageServer, missing));
    EXPECT_FALSE(none);

    LONG state = -1;
    ASSERT_TRUE(hrIs(S_OK, server->GetStorageState(text(first).get(), &state)));
    EXPECT_EQ(state, StorageStateUnknown);
    ASSERT_TRUE(hrIs(S_OK, server->SetStorageFrozen(text(first).get(), 1)));
    ASSERT_TRUE(hrIs(S_OK, server->GetStorageState(text(first).get(), &state)));
    EXPECT_EQ(state, StorageStateFrozen);
    // Freezing closed the storage: the object opened before is refused.
    LONG type = 0;
    EXPECT_TRUE(failedWith(STG_E_REVERTED, storage->GetType(&type), storage.Get(), IID_IStorageItem,
                           first));
    EXPECT_EQ(openHere(), (std::vector<std::wstring>{second}));

    // The state belongs to the server, not to the root object that set it.
    auto other = connect();
    ASSERT_TRUE(other);
    ASSERT_TRUE(hrIs(S_OK, other->SetStorageFrozen(text(first).get(), 0)));
    ASSERT_TRUE(hrIs(S_OK, server->GetStorageState(text(first).get(), &state)));
    EXPECT_EQ(state, StorageStateOpen);
    ASSERT_TRUE(
        hrIs(S_OK, server->OpenStorage(text(first).get(), storage.ReleaseAndGetAddressOf())));
    ASSERT_TRUE(storage);
    EXPECT_EQ(typeOf(storage.Get()), StorageItemFolder);
    EXPECT_EQ(nameOf(storage.Get()), L"First.demo-coffrex");

    ASSERT_TRUE(hrIs(S_OK, server->ReleaseStorage(text(second).get())));
    EXPECT_EQ(openHere(), (std::vector<std::wstring>{first}));
    ASSERT_TRUE(hrIs(S_OK, server->LockStorage(text(first).get())));
    EXPECT_TRUE(failedWith(STG_E_REVERTED, storage->GetType(&type), storage.Get(), IID_IStorageItem,
                           first));
    ASSERT_TRUE(
        hrIs(S_OK, server->OpenStorage(text(first).get(), storage.ReleaseAndGetAddressOf())));
    EXPECT_EQ(typeOf(storage.Get()), StorageItemFolder);

    EXPECT_TRUE(hrIs(S_OK, server->DefragmentStorage(text(first).get())));
    EXPECT_TRUE(hrIs(S_OK, server->CommitStorage(text(first).get())));
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, server->DefragmentStorage(text(missing).get()),
                           server.Get(), IID_IStorageServer, missing));
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, server->CommitStorage(text(missing).get()),
                           server.Get(), IID_IStorageServer, missing));
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, server->ReleaseStorage(text(missing).get()),
                           server.Get(), IID_IStorageServer, missing));
}

TEST_F(MarshalTest, FolderCallsAndInterfacesOfItems) {
    auto server = connect();
    ASSERT_TRUE(server);
    auto root = rootFolder(server.Get(), L"C:\\Folders.demo-coffrex");
    ASSERT_TRUE(root);

    ComPtr<IStorageFolder> docs, sameDocs, absent;
    ASSERT_TRUE(hrIs(S_OK, root->OpenFolder(text(L"Docs").get(), VARIANT_TRUE, &docs)));
    ASSERT_TRUE(hrIs(S_OK, root->OpenFolder(text(L"Docs").get(), VARIANT_FALSE, &sameDocs)));
    EXPECT_EQ(nameOf(sameDocs.Get()), L"Docs");
    EXPECT_TRUE(failedWith(STG_E_PATHNOTFOUND,
                           root->OpenFolder(text(L"Absent").get(), VARIANT_FALSE, &absent),
                           root.Get(), IID_IStorageFolder, L"Absent"));
    EXPECT_FALSE(absent);

    // Opening without create: success with no file means that there is none.
    ComPtr<IStorageFile> file;
    ASSERT_TRUE(hrIs(S_OK, docs->OpenFile(text(L"a.txt").get(), VARIANT_FALSE, &file)));
    EXPECT_FALSE(file);
    ASSERT_TRUE(hrIs(S_OK, docs->OpenFile(text(L"a.txt").get(), VARIANT_TRUE, &file)));
    ASSERT_TRUE(file);
    file.Reset();
    ASSERT_TRUE(hrIs(S_OK, docs->OpenFile(text(L"a.txt").get(), VARIANT_FALSE, &file)));
    ASSERT_TRUE(file);
    EXPECT_EQ(typeOf(file.Get()), StorageItemFile);
    Bstr path;
    ASSERT_TRUE(hrIs(S_OK, file->GetPath(path.put())));
    EXPECT_EQ(fromBstr(path.get()), L"Docs\\a.txt");
    ComPtr<IStorageFile> rootFile;
    ASSERT_TRUE(hrIs(S_OK, root->OpenFile(text(L"b.bin").get(), VARIANT_TRUE, &rootFile)));

    ComPtr<IStorageEnum> items;
    ASSERT_TRUE(hrIs(S_OK, root->EnumItems(&items)));
    std::vector<std::pair<std::wstring, LONG>> listed;
    for (ComPtr<IStorageItem> item; SUCCEEDED(items->Next(item.ReleaseAndGetAddressOf())) && item;)
        listed.emplace_back(nameOf(item.Get()), typeOf(item.Get()));
    EXPECT_EQ(listed, (std::vector<std::pair<std::wstring, LONG>>{{L"Docs", StorageItemFolder},
                                                                  {L"b.bin", StorageItemFile}}));
    ASSERT_TRUE(hrIs(S_OK, items->Reset()));
    ComPtr<IStorageItem> firstAgain;
    ASSERT_TRUE(hrIs(S_OK, items->Next(&firstAgain)));
    ASSERT_TRUE(firstAgain);
    EXPECT_EQ(nameOf(firstAgain.Get()), L"Docs");

    ASSERT_TRUE(hrIs(S_OK, root->RenameItem(text(L"b.bin").get(), text(L"c.bin").get())));
    ComPtr<IStorageItem> info;
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, root->GetItemInfo(text(L"b.bin").get(), &info),
                           root.Get(), IID_IStorageFolder, L"b.bin"));
    EXPECT_FALSE(info);
    ASSERT_TRUE(hrIs(S_OK, root->GetItemInfo(text(L"c.bin").get(), &info)));
    EXPECT_EQ(nameOf(info.Get()), L"c.bin");
    EXPECT_EQ(nameOf(rootFile.Get()), L"c.bin");

    // Items come back as IStorageObject and answer the interface of their kind.
    ComPtr<IStorageObject> folderItem, fileItem;
    ASSERT_TRUE(hrIs(S_OK, root->GetItem(text(L"Docs").get(), &folderItem)));
    ASSERT_TRUE(hrIs(S_OK, root->GetItem(text(L"c.bin").get(), &fileItem)));
    ComPtr<IStorageFolder> asFolder;
    ASSERT_TRUE(hrIs(S_OK, folderItem.As(&asFolder)));
    ComPtr<IStorageFile> fileInFolder;
    ASSERT_TRUE(hrIs(S_OK, asFolder->OpenFile(text(L"a.txt").get(), VARIANT_FALSE, &fileInFolder)));
    EXPECT_TRUE(fileInFolder);
    ComPtr<IStorageFile> asFile;
    EXPECT_TRUE(hrIs(E_NOINTERFACE, folderItem.As(&asFile)));
    EXPECT_TRUE(hrIs(S_OK, fileItem.As(&asFile)));
    EXPECT_TRUE(hrIs(E_NOINTERFACE, fileItem.As(&asFolder)));
    ComPtr<IStorageItem> asItem;
    EXPECT_TRUE(hrIs(S_OK, fileItem.As(&asItem)));

    EXPECT_TRUE(failedWith(STG_E_FILEALREADYEXISTS,
                           root->RenameItem(text(L"c.bin").get(), text(L"Docs").get()), root.Get(),
                           IID_IStorageFolder, L"Docs"));
    ASSERT_TRUE(hrIs(S_OK, root->DeleteItem(text(L"Docs").get())));
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, root->GetItemInfo(text(L"Docs").get(), &info),
                           root.Get(), IID_IStorageFolder, L"Docs"));
    EXPECT_TRUE(failedWith(STG_E_FILENOTFOUND, root->DeleteItem(text(L"Docs").get()), root.Get(),
                           IID_IStorageFolder, L"Docs"));
    // What was inside went with the folder.
    LONG type = 0;
    EXPECT_TRUE(
        failedWith(STG_E_REVERTED, file->GetType(&type), file.Get(), IID_IStorageItem, L"a.txt"));
}

TEST_F(MarshalTest, PropertiesKeepTheirVariantTypes) {
    auto server = connect();
    ASSERT_TRUE(server);
    auto root = rootFolder(server.Get(), L"C:\\Properties.demo-coffrex");
    ASSERT_TRUE(root);
    ComPtr<IStorageFile> file;
    ASSERT_TRUE(hrIs(S_OK, root->OpenFile(text(L"item").get(), VARIANT_TRUE, &file)));
    ASSERT_TRUE(file);

    VARIANT value;
    VariantInit(&value);
    ASSERT_TRUE(hrIs(S_OK, file->GetProperty(StorageProperty_Comment, &value)));
    EXPECT_EQ(value.vt, VT_EMPTY);
    ASSERT_TRUE(hrIs(S_OK, file->GetProperty(StorageProperty_Id, &value)));
    ASSERT_EQ(value.vt, VT_BSTR);
    CLSID id;
    EXPECT_TRUE(hrIs(NOERROR, CLSIDFromString(value.bstrVal, &id)));
    VariantClear(&value);

    // A BSTR keeps its length: the embedded null and what follows cross too.
    constexpr wchar_t kComment[] = L"Z\u00fcrich \u6771\u4eac\0tail";
    const std::wstring comment(kComment, std::size(kComment) - 1);
    VARIANT set;
    set.vt = VT_BSTR;
    set.bstrVal = SysAllocStringLen(comment.data(), static_cast<UINT>(comment.size()));
    EXPECT_TRUE(hrIs(S_OK, file->SetProperty(StorageProperty_Comment, set)));
    VariantClear(&set);
    set.vt = VT_BOOL;
    set.boolVal = VARIANT_TRUE;
    EXPECT_TRUE(hrIs(S_OK, file->SetProperty(StorageProperty_Frozen, set)));
    set.vt = VT_UI8;
    set.ullVal = 0x8000000000000001ull;
    EXPECT_TRUE(hrIs(S_OK, file->SetProperty(StorageProperty_Flags, set)));

    ASSERT_TRUE(hrIs(S_OK, file->GetProperty(StorageProperty_Comment, &value)));
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(fromBstr(value.bstrVal), comment);
    VariantClear(&value);
    ASSERT_TRUE(hrIs(S_OK, file->GetProperty(StorageProperty_Frozen, &value)));
    EXPECT_EQ(value.vt, VT_BOOL);
    EXPECT_EQ(value.boolVal, VARIANT_TRUE);
    ASSERT_TRUE(hrIs(S_OK, file->GetProperty(StorageProperty_Flags, &value)));
    EXPECT_EQ(value.vt, VT_UI8);
    EXPECT_EQ(value.ullVal, 0x8000000000000001ull);

    EXPECT_EQ(propertyIds(file.Get()),
              (std::vector<std::wstring>{
                  guidText(StorageProperty_Id), guidText(StorageProperty_Comment),
                  guidText(StorageProperty_Frozen), guidText(StorageProperty_Flags)}));
    ASSERT_TRUE(hrIs(S_OK, file->RemoveProperty(StorageProperty_Comment)));
    ASSERT_TRUE(hrIs(S_OK, file->GetProperty(StorageProperty_Comment, &value)));
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(
        propertyIds(file.Get()),
        (std::vector<std::wstring>{guidText(StorageProperty_Id), guidText(StorageProperty_Frozen),
                                   guidText(StorageProperty_Flags)}));
}

TEST_F(MarshalTest, StreamChecksumTimesAndSize) {
    auto server = connect();
    ASSERT_TRUE(server);
    auto root = rootFolder(server.Get(), L"C:\\Streams.demo-coffrex");
    ASSERT_TRUE(root);

    // Distinct moments for creation, last write and last access, so that a
    // time that lands in the wrong place shows.
    const ULONGLONG beforeCreate = now();
    ComPtr<IStorageFile> file;
    ASSERT_TRUE(hrIs(S_OK, root->OpenFile(text(L"data.bin").get(), VARIANT_TRUE, &file)));
    ASSERT_TRUE(file);
    const ULONGLONG afterCreate = now();
    Sleep(20);

    ComPtr<IStream> stream;
    ASSERT_TRUE(hrIs(S_OK, file->OpenStream(&stream)));
    ASSERT_TRUE(stream);
    constexpr ULONG kBlock = 4096, kBlocks = 16;
    std::vector<BYTE> bytes(kBlock * kBlocks);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>((i * 31) ^ (i >> 8));
    const ULONGLONG beforeWrite = now();
    for (ULONG block = 0; block < kBlocks; ++block) {
        ULONG written = 0;
        ASSERT_TRUE(hrIs(S_OK, stream->Write(bytes.data() + block * kBlock, kBlock, &written)));
        ASSERT_EQ(written, kBlock);
    }
    const ULONGLONG afterWrite = now();
    Sleep(20);

    ULARGE_INTEGER position{};
    ASSERT_TRUE(hrIs(S_OK, stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, &position)));
    EXPECT_EQ(position.QuadPart, 0u);
    std::vector<BYTE> readBack(bytes.size());
    const ULONGLONG beforeRead = now();
    for (ULONG block = 0; block < kBlocks; ++block) {
        ULONG read = 0;
        ASSERT_TRUE(hrIs(S_OK, stream->Read(readBack.data() + block * kBlock, kBlock, &read)));
        ASSERT_EQ(read, kBlock);
    }
    BYTE extra[16];
    ULONG read = 1;
    EXPECT_TRUE(hrIs(S_OK, stream->Read(extra, sizeof extra, &read)));
    EXPECT_EQ(read, 0u);
    const ULONGLONG afterRead = now();
    EXPECT_TRUE(readBack == bytes);
    ASSERT_TRUE(hrIs(S_OK, stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &position)));
    EXPECT_EQ(position.QuadPart, bytes.size());

    ULONGLONG size = 0;
    ASSERT_TRUE(hrIs(S_OK, file->GetSize(&size)));
    EXPECT_EQ(size, bytes.size());
    BYTE checksum[16] = {};
    ASSERT_TRUE(hrIs(S_OK, file->ComputeChecksum(checksum)));
    auto expected = contentDigest(bytes.data(), bytes.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), checksum));

    ItemTimes times{};
    ASSERT_TRUE(hrIs(S_OK, file->GetTimes(&times)));
    EXPECT_GE(ticks(times.creation), beforeCreate);
    EXPECT_LE(ticks(times.creation), afterCreate);
    EXPECT_GE(ticks(times.write), beforeWrite);
    EXPECT_LE(ticks(times.write), afterWrite);
    EXPECT_GE(ticks(times.access), beforeRead);
    EXPECT_LE(ticks(times.access), afterRead);

    // The information object carries the same values.
    ComPtr<IStorageItem> info;
    ASSERT_TRUE(hrIs(S_OK, root->GetItemInfo(text(L"data.bin").get(), &info)));
    ItemTimes infoTimes{};
    ASSERT_TRUE(hrIs(S_OK, info->GetTimes(&infoTimes)));
    EXPECT_EQ(std::memcmp(&infoTimes, &times, sizeof times), 0);
    ASSERT_TRUE(hrIs(S_OK, info->GetSize(&size)));
    EXPECT_EQ(size, bytes.size());
}

struct SecondApartment {
    IStream* marshalled = nullptr;
    std::wstring missing;
    HRESULT unmarshal = E_FAIL;
    HRESULT info = E_FAIL;
    DWORD processId = 0;
    HRESULT lock = S_OK;
    std::wstring description;
};

DWORD WINAPI runSecondApartment(void* parameter) {
    auto& work = *static_cast<SecondApartment*>(parameter);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    {
        ComPtr<IStorageServer> server;
        work.unmarshal = CoGetInterfaceAndReleaseStream(work.marshalled, IID_PPV_ARGS(&server));
        if (server) {
            LONG roots = 0;
            work.info = server->GetServerInfo(&work.processId, &roots);
            work.lock = server->LockStorage(text(work.missing).get());
            ComPtr<IErrorInfo> error;
            Bstr description;
            if (GetErrorInfo(0, &error) == S_OK && error &&
                SUCCEEDED(error->GetDescription(description.put())))
                work.description = fromBstr(description.get());
        }
    }
    CoUninitialize();
    return 0;
}

TEST_F(MarshalTest, MarshalledPointerWorksFromAnotherApartment) {
    auto server = connect();
    ASSERT_TRUE(server);
    DWORD processId = 0;
    LONG roots = 0;
    ASSERT_TRUE(hrIs(S_OK, server->GetServerInfo(&processId, &roots)));

    SecondApartment work;
    work.missing = L"C:\\Elsewhere.demo-coffrex";
    ASSERT_TRUE(hrIs(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IStorageServer, server.Get(),
                                                                 &work.marshalled)));
    KernelHandle thread(CreateThread(nullptr, 0, runSecondApartment, &work, 0, nullptr));
    ASSERT_TRUE(thread);
    DWORD index = 0;
    HANDLE handles[] = {thread.get()};
    ASSERT_TRUE(hrIs(S_OK, CoWaitForMultipleHandles(0, 30000, 1, handles, &index)));

    EXPECT_TRUE(hrIs(S_OK, work.unmarshal));
    EXPECT_TRUE(hrIs(S_OK, work.info));
    EXPECT_EQ(work.processId, processId);
    EXPECT_TRUE(hrIs(STG_E_FILENOTFOUND, work.lock));
    EXPECT_NE(work.description.find(work.missing), std::wstring::npos) << narrow(work.description);
}

// Without the proxy DLL's registration the server's interface cannot leave
// the server's process; the same object crosses once the DLL is registered.
class UnregisteredProxyTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "a server of an earlier test still runs";
        ASSERT_TRUE(hrIs(S_OK, proxy_.unregisterServer()));
    }
    void TearDown() override {
        EXPECT_TRUE(waitForServersToExit(kFakeServerProgram, kServerExitMs))
            << "the server outlived its last object";
    }

    LoadedLibrary proxy_{L"cfxstorageps.dll"};
};

TEST_F(UnregisteredProxyTest, ServerInterfaceNeedsTheProxyDll) {
    for (const auto& row : kInterfaces)
        EXPECT_TRUE(
            classesValue(L"Interface\\" + guidText(*row.iid) + L"\\ProxyStubClsid32").empty())
            << narrow(row.name);

    // The class factory and the root object's IUnknown cross on the system's
    // own proxies; holding the root object keeps the server running.
    ComPtr<IClassFactory> factory;
    ASSERT_TRUE(hrIs(S_OK, CoGetClassObject(CLSID_StorageServer, kServerContext, nullptr,
                                            IID_PPV_ARGS(&factory))));
    ComPtr<IUnknown> root;
    ASSERT_TRUE(hrIs(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&root))));
    ComPtr<IStorageServer> server;
    HRESULT hr = factory->CreateInstance(nullptr, IID_PPV_ARGS(&server));
    EXPECT_TRUE(hr == E_NOINTERFACE || hr == REGDB_E_IIDNOTREG) << hex(hr);
    EXPECT_FALSE(server);
    hr = root.As(&server);
    EXPECT_TRUE(hr == E_NOINTERFACE || hr == REGDB_E_IIDNOTREG) << hex(hr);

    // Registering the DLL is all it takes for the same object to cross.
    ASSERT_TRUE(hrIs(S_OK, proxy_.registerServer()));
    ASSERT_TRUE(hrIs(S_OK, root.As(&server)));
    DWORD processId = 0;
    LONG roots = 0;
    EXPECT_TRUE(hrIs(S_OK, server->GetServerInfo(&processId, &roots)));
    EXPECT_EQ(roots, 1) << "the root object whose interface could not cross was kept";
}

TEST(ContentDigest, IsMd5) {
    // The published MD5 test vector for "abc".
    const BYTE expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                               0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    auto digest = contentDigest("abc", 3);
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), expected));
}

} // namespace
} // namespace cfx::test
