#include "ServerRegistration.h"

#include "cfxstorage.h"
#include "common/ErrorObjectHook.h"
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/ModulePath.h"
#include "common/Text.h"

#include <objbase.h>

#include <string>
#include <vector>

namespace cfx::storeserver {

namespace {

constexpr wchar_t kProxyDll[] = L"cfxstorageps.dll";
constexpr wchar_t kClassName[] = L"Coffrex storage server";

struct ClassKey {
    HKEY root;
    std::wstring path;
};

// Where the class is registered: per user, as a user installs it; Wine 8's
// COM reads class registrations from HKEY_CLASSES_ROOT alone (it does not
// merge the user's classes in), so under Wine the machine's classes too.
std::vector<ClassKey> classKeys() {
    const std::wstring clsid = guidText(CLSID_StorageServer);
    std::vector<ClassKey> keys{{HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\" + clsid}};
    if (runningUnderWine())
        keys.push_back({HKEY_CLASSES_ROOT, L"CLSID\\" + clsid});
    return keys;
}

HRESULT setValue(const ClassKey& key, const wchar_t* subkey, const std::wstring& value) {
    const std::wstring path = subkey ? key.path + L"\\" + subkey : key.path;
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return HRESULT_FROM_WIN32(
        RegSetKeyValueW(key.root, path.c_str(), nullptr, REG_SZ, value.c_str(), bytes));
}

// DllRegisterServer or DllUnregisterServer of the proxy DLL beside the program.
HRESULT callProxyDll(const char* entry) {
    return guarded([&]() -> HRESULT {
        std::wstring path = modulePath(nullptr);
        path.resize(path.find_last_of(L'\\') + 1);
        path += kProxyDll;
        LoadedModule library(LoadLibraryW(path.c_str()));
        if (!library)
            return HRESULT_FROM_WIN32(GetLastError());
        using Entry = HRESULT(STDAPICALLTYPE*)();
        auto call =
            reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library.get(), entry)));
        return call ? call() : HRESULT_FROM_WIN32(GetLastError());
    });
}

} // namespace

HRESULT registerServer() {
    return guarded([&]() -> HRESULT {
        const std::wstring command = L"\"" + modulePath(nullptr) + L"\"";
        for (const ClassKey& key : classKeys()) {
            HRESULT hr = setValue(key, nullptr, kClassName);
            if (SUCCEEDED(hr))
                hr = setValue(key, L"LocalServer32", command);
            if (FAILED(hr))
                return hr;
        }
        return callProxyDll("DllRegisterServer");
    });
}

HRESULT unregisterServer() {
    HRESULT result = S_OK;
    for (const ClassKey& key : classKeys()) {
        LSTATUS status = RegDeleteTreeW(key.root, key.path.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            result = HRESULT_FROM_WIN32(status);
    }
    HRESULT proxy = callProxyDll("DllUnregisterServer");
    return FAILED(result) ? result : proxy;
}

} // namespace cfx::storeserver
