#include "support/LoadedLibrary.h"

#include <gtest/gtest.h>

namespace cfx::test {

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.find_last_of(L'\\') + 1);
}

LoadedLibrary::LoadedLibrary(const std::wstring& fileName)
    : module_(LoadLibraryW((programFolder() + fileName).c_str())) {
    EXPECT_NE(module_, nullptr) << "LoadLibrary failed with " << GetLastError();
}

std::wstring LoadedLibrary::path() const {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(module_, path, MAX_PATH));
}

FARPROC LoadedLibrary::proc(const char* name) const {
    FARPROC function = module_ ? GetProcAddress(module_, name) : nullptr;
    EXPECT_NE(function, nullptr) << "missing export " << name;
    return function;
}

HRESULT LoadedLibrary::getClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    using Function = HRESULT WINAPI(REFCLSID, REFIID, void**);
    auto* function =
        reinterpret_cast<Function*>(reinterpret_cast<void*>(proc("DllGetClassObject")));
    return function ? function(clsid, iid, out) : E_FAIL;
}

HRESULT LoadedLibrary::call(const char* name) const {
    auto* function = reinterpret_cast<HRESULT WINAPI (*)()>(reinterpret_cast<void*>(proc(name)));
    return function ? function() : E_FAIL;
}

} // namespace cfx::test
