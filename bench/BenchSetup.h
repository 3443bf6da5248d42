// What the benchmarks that drive the library set up in their prefix: the
// program's folder, helper processes and the tests' key certificate.
#pragma once

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/PfxImport.h"
#include "common/Variant.h"
#include "idl/cfxview_classes.h"

#include "cfxstorage.h"

#include <windows.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <wrl/client.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace cfx::bench {

// The vocabulary of the benchmarks, for `using namespace cfx::bench`.
using cfx::check;
using cfx::makeBstr;
using Microsoft::WRL::ComPtr;

// What main returns: run's answer, or 1 with the failure on the error output.
template <class Run> int runBenchmark(const char* name, Run&& run) {
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: failed with 0x%08lX\n", name,
                     static_cast<unsigned long>(hresultOfCurrentException()));
    }
    return 1;
}

// The folder of the running program, with a trailing backslash.
inline std::wstring folderOfProgram() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

inline void runAndWait(std::wstring command) {
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    checkLastError(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// The key file bin/testkeys/first.pfx installed with its key for the current
// user; returns its certificate's encoded bytes.
inline std::vector<BYTE> installTestKey() {
    FileHandle file(CreateFileW((folderOfProgram() + L"testkeys\\first.pfx").c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<BYTE> pfx(GetFileSize(file.get(), nullptr));
    DWORD read = 0;
    checkLastError(
        file && ReadFile(file.get(), pfx.data(), static_cast<DWORD>(pfx.size()), &read, nullptr));
    std::vector<Certificate> imported = ImportPfxBlob(pfx, L"");
    if (imported.empty())
        raise(E_FAIL);
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    checkLastError(CertAddCertificateContextToStore(my.get(), imported.front().get(),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    const CERT_CONTEXT* certificate = imported.front().get();
    return std::vector<BYTE>(certificate->pbCertEncoded,
                             certificate->pbCertEncoded + certificate->cbCertEncoded);
}

// The storage folder of the file, made by cfxview.dll (loaded from beside the
// program, for good) and unlocked by asking it for its view, as the shell does.
inline Microsoft::WRL::ComPtr<IShellFolder2> openStorageFolder(const std::wstring& path) {
    HMODULE library = LoadLibraryW((folderOfProgram() + L"cfxview.dll").c_str());
    auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    if (!getClassObject)
        raise(E_FAIL);
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    check(getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    Microsoft::WRL::ComPtr<IShellFolder2> folder;
    check(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
    Microsoft::WRL::ComPtr<IPersistFolder> persist;
    check(folder.As(&persist));
    UniqueHandle<LPITEMIDLIST, &ILFree> file(ILCreateFromPathW(path.c_str()));
    check(persist->Initialize(file.get()));
    Microsoft::WRL::ComPtr<IShellView> view; // the unlock serves a bare client too
    check(folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
    return folder;
}

// The storage's root folder as a bare client of the storage server reaches it.
inline Microsoft::WRL::ComPtr<IStorageFolder> openServerRoot(const std::wstring& path) {
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    check(CoGetClassObject(CLSID_StorageServer, CLSCTX_LOCAL_SERVER, nullptr,
                           IID_PPV_ARGS(&factory)));
    Microsoft::WRL::ComPtr<IStorageServer> server;
    check(factory->CreateInstance(nullptr, IID_PPV_ARGS(&server)));
    Microsoft::WRL::ComPtr<IStorageObject> storage;
    check(server->OpenStorage(makeBstr(path).get(), &storage));
    Microsoft::WRL::ComPtr<IStorageFolder> root;
    check(storage.As(&root));
    return root;
}

} // namespace cfx::bench
