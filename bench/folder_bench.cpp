// folder_bench.exe: what listing a large storage folder costs through the
// library, as the shell's view lists it - EnumObjects, then GetDetailsOf of
// every column of every item - against a bare client that makes the same
// storage server calls per item (EnumItems; Next, GetType, GetName, GetSize;
// GetItem and the Comment property). Both run in this process on the same
// storage of cfxstore.exe; prints both times and their ratio. Not a test.
//
// It registers cfxstore.exe (beside the program) in the prefix it runs in and
// installs the test key bin/testkeys/first.pfx for the current user.
#include "Container.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/PfxImport.h"
#include "common/Variant.h"
#include "idl/cfxview_classes.h"

#include "BenchClock.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include "cfxstorage.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using cfx::check;
using cfx::makeBstr;
using Microsoft::WRL::ComPtr;

constexpr int kItems = 10000;
constexpr int kRounds = 2;

std::wstring folderOfProgram() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

void runAndWait(std::wstring command) {
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    cfx::checkLastError(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                       nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// The key file's certificate, installed with its key for the current user.
std::vector<BYTE> installTestKey() {
    cfx::FileHandle file(CreateFileW((folderOfProgram() + L"testkeys\\first.pfx").c_str(),
                                     GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    std::vector<BYTE> pfx(GetFileSize(file.get(), nullptr));
    DWORD read = 0;
    cfx::checkLastError(
        file && ReadFile(file.get(), pfx.data(), static_cast<DWORD>(pfx.size()), &read, nullptr));
    std::vector<cfx::Certificate> imported = cfx::ImportPfxBlob(pfx, L"");
    if (imported.empty())
        cfx::raise(E_FAIL);
    cfx::CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    cfx::checkLastError(CertAddCertificateContextToStore(my.get(), imported.front().get(),
                                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    const CERT_CONTEXT* certificate = imported.front().get();
    return std::vector<BYTE>(certificate->pbCertEncoded,
                             certificate->pbCertEncoded + certificate->cbCertEncoded);
}

// A locked storage with kItems files of a few sizes, made in process.
std::wstring makeStorage(const std::vector<BYTE>& certificate) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"folder_bench.demo-coffrex";
    DeleteFileW(path.c_str());
    auto storage = cfx::store::Container::create(path, certificate.data(), certificate.size(),
                                                 cfx::store::Container::Options{false});
    cfx::store::Item root = storage->root();
    for (int i = 0; i < kItems; ++i)
        root.openFile(L"item " + std::to_wstring(i) + (i % 3 ? L".bin" : L".txt"), true);
    storage->close();
    return path;
}

// The shell's way: the view's listing and every cell of it.
double throughTheLibrary(IShellFolder2* folder, size_t& cells) {
    const double start = cfx::bench::seconds();
    ComPtr<IEnumIDList> items;
    check(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items));
    cells = 0;
    for (LPITEMIDLIST item = nullptr; items->Next(1, &item, nullptr) == S_OK;) {
        for (UINT column = 0; column < 4; ++column) {
            SHELLDETAILS details{};
            check(folder->GetDetailsOf(item, column, &details));
            if (details.str.uType == STRRET_WSTR)
                CoTaskMemFree(details.str.pOleStr);
            ++cells;
        }
        CoTaskMemFree(item);
    }
    return cfx::bench::seconds() - start;
}

// The same server calls, made directly.
double bareClient(IStorageFolder* root, size_t& items) {
    const double start = cfx::bench::seconds();
    ComPtr<IStorageEnum> listing;
    check(root->EnumItems(&listing));
    items = 0;
    for (;;) {
        ComPtr<IStorageItem> item;
        check(listing->Next(&item));
        if (!item)
            break;
        LONG type = 0;
        ULONGLONG size = 0;
        cfx::Bstr name;
        check(item->GetType(&type));
        check(item->GetName(name.put()));
        check(item->GetSize(&size));
        ComPtr<IStorageObject> object;
        check(root->GetItem(name.get(), &object));
        cfx::Variant comment;
        check(object->GetProperty(StorageProperty_Comment, comment.put()));
        ++items;
    }
    return cfx::bench::seconds() - start;
}

int run() {
    check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    runAndWait(L"\"" + folderOfProgram() + L"cfxstore.exe\" /RegServer");
    const std::wstring path = makeStorage(installTestKey());

    HMODULE library = LoadLibraryW((folderOfProgram() + L"cfxview.dll").c_str());
    auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    if (!getClassObject)
        cfx::raise(E_FAIL);
    ComPtr<IClassFactory> factory;
    check(getClassObject(cfx::CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    ComPtr<IShellFolder2> folder;
    check(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
    ComPtr<IPersistFolder> persist;
    check(folder.As(&persist));
    cfx::UniqueHandle<LPITEMIDLIST, &ILFree> file(ILCreateFromPathW(path.c_str()));
    check(persist->Initialize(file.get()));
    ComPtr<IShellView> view; // unlocks the storage, for the bare client too
    check(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
    view.Reset();

    ComPtr<IClassFactory> serverFactory;
    check(CoGetClassObject(CLSID_StorageServer, CLSCTX_LOCAL_SERVER, nullptr,
                           IID_PPV_ARGS(&serverFactory)));
    ComPtr<IStorageServer> server;
    check(serverFactory->CreateInstance(nullptr, IID_PPV_ARGS(&server)));
    ComPtr<IStorageObject> storage;
    check(server->OpenStorage(makeBstr(path).get(), &storage));
    ComPtr<IStorageFolder> root;
    check(storage.As(&root));

    // Alternating rounds; the faster of each, against the noise of a shared machine.
    double viaLibrary = 1e9, bare = 1e9;
    size_t cells = 0, items = 0;
    for (int round = 0; round < kRounds; ++round) {
        bare = std::min(bare, bareClient(root.Get(), items));
        viaLibrary = std::min(viaLibrary, throughTheLibrary(folder.Get(), cells));
    }
    std::printf("listing %d items, every column of every item (%zu cells)\n", kItems, cells);
    std::printf("  through the library (EnumObjects, GetDetailsOf): %8.2f s  %6.1f us/item\n",
                viaLibrary, viaLibrary * 1e6 / kItems);
    std::printf("  bare client, the same server calls (%zu items):   %8.2f s  %6.1f us/item\n",
                items, bare, bare * 1e6 / kItems);
    std::printf("  ratio library / bare client: %.3f\n", viaLibrary / bare);
    return 0;
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "folder_bench: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "folder_bench: failed with 0x%08lX\n",
                     static_cast<unsigned long>(cfx::hresultOfCurrentException()));
    }
    return 1;
}
