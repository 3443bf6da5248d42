#include "RemoteStorage.h"

#include "KeyClient.h"

#include "common/ErrorObjectHook.h"
#include "support/LoadedLibrary.h"

#include <objbase.h>
#include <tlhelp32.h>

namespace cfx::store::test {

namespace {

constexpr wchar_t kServerProgram[] = L"cfxstore.exe";

// The apartment, the server registered as a user does, error objects carried back under Wine.
class ServerEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK, cfx::carryErrorObjectsUnderWine());
        ASSERT_EQ(0u, runServerCommand(L"/RegServer"));
    }
    void TearDown() override { CoUninitialize(); }
};

[[maybe_unused]] testing::Environment* const kEnvironment =
    testing::AddGlobalTestEnvironment(new ServerEnvironment);

} // namespace

DWORD runServerCommand(const wchar_t* option) {
    std::wstring command = L"\"" + cfx::test::programFolder() + kServerProgram + L"\" " + option;
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return GetLastError();
    KernelHandle thread(process.hThread), running(process.hProcess);
    DWORD exitCode = ~0u;
    if (WaitForSingleObject(running.get(), 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(running.get(), &exitCode);
    return exitCode;
}

std::vector<DWORD> serverProcesses() {
    std::vector<DWORD> found;
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{sizeof entry};
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        if (CompareStringOrdinal(entry.szExeFile, -1, kServerProgram, -1, TRUE) == CSTR_EQUAL)
            found.push_back(entry.th32ProcessID);
    return found;
}

bool waitForServerExit(DWORD timeoutMs) {
    for (const DWORD start = GetTickCount(); !serverProcesses().empty(); Sleep(50))
        if (GetTickCount() - start > timeoutMs)
            return false;
    return true;
}

ComPtr<IStorageServer> connectServer() {
    ComPtr<IStorageServer> server;
    check(
        CoCreateInstance(CLSID_StorageServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)));
    return server;
}

DWORD serverProcessOf(IStorageServer* server) {
    DWORD processId = 0;
    LONG roots = 0;
    check(server->GetServerInfo(&processId, &roots));
    return processId;
}

Bstr bstr(const std::wstring& value) {
    return Bstr(SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
}

std::wstring text(BSTR value) {
    return value ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

ComPtr<IStorageFolder> createStorage(IStorageServer* server, const std::wstring& path,
                                     const KeyCertificate& certificate) {
    ComPtr<IStorageObject> storage;
    ComPtr<IStorageFolder> root;
    check(server->CreateStorage(bstr(path).get(), static_cast<ULONG>(certificate.encoded.size()),
                                certificate.encoded.data(), &storage));
    check(storage.As(&root));
    return root;
}

ComPtr<IStorageFolder> openStorage(IStorageServer* server, const std::wstring& path) {
    ComPtr<IStorageObject> storage;
    ComPtr<IStorageFolder> root;
    check(server->OpenStorage(bstr(path).get(), &storage));
    check(storage.As(&root));
    return root;
}

std::wstring textProperty(IStorageObject* item, const GUID& property) {
    Variant value;
    check(item->GetProperty(property, value.put()));
    return value.type() == VT_BSTR ? value.text() : std::wstring();
}

void unlock(IStorageObject* storage) {
    std::wstring answer = answerWithInstalledKey(textProperty(storage, StorageProperty_KeyRecord),
                                                 textProperty(storage, StorageProperty_KeyState));
    check(storage->SetProperty(StorageProperty_KeyState, Variant(answer).get()));
}

Failure failureOf(HRESULT hr) {
    ComPtr<IErrorInfo> info;
    Bstr description;
    if (FAILED(hr) && GetErrorInfo(0, &info) == S_OK && info)
        info->GetDescription(description.put());
    return {hr, text(description.get())};
}

ComPtr<IStorageFolder> folder(IStorageFolder* parent, const std::wstring& name, bool create) {
    ComPtr<IStorageFolder> result;
    check(parent->OpenFolder(bstr(name).get(), create ? VARIANT_TRUE : VARIANT_FALSE, &result));
    return result;
}

ComPtr<IStorageFile> file(IStorageFolder* parent, const std::wstring& name, bool create) {
    ComPtr<IStorageFile> result;
    check(parent->OpenFile(bstr(name).get(), create ? VARIANT_TRUE : VARIANT_FALSE, &result));
    return result;
}

void writeFile(IStorageFile* target, const std::vector<BYTE>& bytes, size_t blockSize) {
    ComPtr<IStream> stream;
    check(target->OpenStream(&stream));
    for (size_t at = 0; at < bytes.size(); at += blockSize) {
        ULONG size = static_cast<ULONG>(std::min(blockSize, bytes.size() - at)), written = 0;
        check(stream->Write(bytes.data() + at, size, &written));
        check(written == size ? S_OK : STG_E_WRITEFAULT);
    }
    check(stream->Commit(STGC_DEFAULT));
}

std::vector<BYTE> readFile(IStorageFile* source, size_t blockSize) {
    ComPtr<IStream> stream;
    check(source->OpenStream(&stream));
    std::vector<BYTE> bytes, block(blockSize);
    for (ULONG read = 1; read;) {
        check(stream->Read(block.data(), static_cast<ULONG>(block.size()), &read));
        bytes.insert(bytes.end(), block.begin(), block.begin() + read);
    }
    return bytes;
}

std::vector<std::wstring> listNames(IStorageFolder* parent) {
    ComPtr<IStorageEnum> items;
    check(parent->EnumItems(&items));
    std::vector<std::wstring> names;
    for (;;) {
        ComPtr<IStorageItem> item;
        check(items->Next(&item));
        if (!item)
            return names;
        Bstr name;
        check(item->GetName(name.put()));
        names.push_back(text(name.get()));
    }
}

} // namespace cfx::store::test
