// Loads one of the project's DLLs from the test program's own folder, as COM
// loads an in-process server, and calls its exports.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace cfx::test {

// The running test program's folder (the build's bin), ending in "\".
inline std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.find_last_of(L'\\') + 1);
}

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::wstring& fileName)
        : module_(LoadLibraryW((programFolder() + fileName).c_str())) {
        EXPECT_NE(module_, nullptr) << "LoadLibrary failed with " << GetLastError();
    }
    ~LoadedLibrary() {
        if (module_)
            FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    HMODULE handle() const { return module_; }
    std::wstring path() const {
        wchar_t path[MAX_PATH];
        return std::wstring(path, GetModuleFileNameW(module_, path, MAX_PATH));
    }
    // An export by name; fails the test (and returns null) when it is missing.
    FARPROC proc(const char* name) const {
        FARPROC function = module_ ? GetProcAddress(module_, name) : nullptr;
        EXPECT_NE(function, nullptr) << "missing export " << name;
        return function;
    }

    HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** out) const {
        auto* function = as<HRESULT WINAPI(REFCLSID, REFIID, void**)>(proc("DllGetClassObject"));
        return function ? function(clsid, iid, out) : E_FAIL;
    }
    HRESULT canUnloadNow() const { return call("DllCanUnloadNow"); }
    HRESULT registerServer() const { return call("DllRegisterServer"); }
    HRESULT unregisterServer() const { return call("DllUnregisterServer"); }

private:
    template <class F> static F* as(FARPROC function) {
        return reinterpret_cast<F*>(reinterpret_cast<void*>(function));
    }
    HRESULT call(const char* name) const { // an export without arguments
        auto* function = as<HRESULT WINAPI()>(proc(name));
        return function ? function() : E_FAIL;
    }

    HMODULE module_ = nullptr;
};

} // namespace cfx::test
