// What the storage server's tests share: cfxstore.exe registered in the
// prefix, its root objects, unlocking as a client does, error objects.
#pragma once

#include "StoreTestSupport.h"

#include "cfxstorage.h"
#include "common/Exceptions.h"
#include "common/Handles.h"

#include <wrl/client.h>

#include <string>
#include <vector>

namespace cfx::store::test {

using Microsoft::WRL::ComPtr;

// Runs "cfxstore.exe option" (/RegServer, /UnregServer); its exit code.
DWORD runServerCommand(const wchar_t* option);

// A new root object of the storage server, started by COM when none runs.
ComPtr<IStorageServer> connectServer();

// The server processes running now; true once none runs (false after the timeout).
std::vector<DWORD> serverProcesses();
bool waitForServerExit(DWORD timeoutMs = 30000);
DWORD serverProcessOf(IStorageServer* server);

Bstr bstr(const std::wstring& text);
std::wstring text(BSTR value);

// A new storage's root folder; an existing one's, locked until unlock().
ComPtr<IStorageFolder> createStorage(IStorageServer* server, const std::wstring& path,
                                     const KeyCertificate& certificate = firstCertificate());
ComPtr<IStorageFolder> openStorage(IStorageServer* server, const std::wstring& path);
void unlock(IStorageObject* storage);

// A failed call: its HRESULT and the description of the thread's error object.
struct Failure {
    HRESULT hr = S_OK;
    std::wstring description;
};
Failure failureOf(HRESULT hr);

ComPtr<IStorageFolder> folder(IStorageFolder* parent, const std::wstring& name, bool create);
ComPtr<IStorageFile> file(IStorageFolder* parent, const std::wstring& name, bool create);

void writeFile(IStorageFile* target, const std::vector<BYTE>& bytes, size_t blockSize = 4096);
std::vector<BYTE> readFile(IStorageFile* source, size_t blockSize = 4096);

std::vector<std::wstring> listNames(IStorageFolder* parent);
std::wstring textProperty(IStorageObject* item, const GUID& property);

} // namespace cfx::store::test
