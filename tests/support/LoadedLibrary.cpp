#include "support/LoadedLibrary.h"

#include <gtest/gtest.h>

namespace cfx::test {

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

LoadedLibrary::LoadedLibrary(const std::wstring& fileName) {
    module_ = LoadLibraryW((programFolder() + fileName).c_str());
    EXPECT_NE(module_, nullptr) << "LoadLibrary failed with " << GetLastError();
}

LoadedLibrary::~LoadedLibrary() {
    if (module_)
        FreeLibrary(module_);
}

std::wstring LoadedLibrary::path() const {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module_, path, MAX_PATH);
    return std::wstring(path, length);
}

FARPROC LoadedLibrary::proc(const char* name) const {
    FARPROC function = module_ ? GetProcAddress(module_, name) : nullptr;
    EXPECT_NE(function, nullptr) << "missing export " << name;
    return function;
}

namespace {
template <class F> F* as(FARPROC function) {
    return reinterpret_cast<F*>(reinterpret_cast<void*>(function));
}
} // namespace

HRESULT LoadedLibrary::getClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    auto function = as<HRESULT WINAPI(REFCLSID, REFIID, void**)>(proc("DllGetClassObject"));
    return function ? function(clsid, iid, out) : E_FAIL;
}

HRESULT LoadedLibrary::canUnloadNow() const {
    auto function = as<HRESULT WINAPI()>(proc("DllCanUnloadNow"));
    return function ? function() : E_FAIL;
}

HRESULT LoadedLibrary::registerServer() const {
    auto function = as<HRESULT WINAPI()>(proc("DllRegisterServer"));
    return function ? function() : E_FAIL;
}

HRESULT LoadedLibrary::unregisterServer() const {
    auto function = as<HRESULT WINAPI()>(proc("DllUnregisterServer"));
    return function ? function() : E_FAIL;
}

} // namespace cfx::test
