// Loads one of the project's DLLs from the test program's own folder, as COM
// loads an in-process server, and calls its exports.
#pragma once

#include <windows.h>

#include <string>

namespace cfx::test {

// The folder of the running test program (the build's bin), with a trailing "\".
std::wstring programFolder();

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::wstring& fileName);
    ~LoadedLibrary() {
        if (module_)
            FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    HMODULE handle() const { return module_; }
    std::wstring path() const;
    // An export by name; fails the test (and returns null) when it is missing.
    FARPROC proc(const char* name) const;

    HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** out) const;
    HRESULT canUnloadNow() const { return call("DllCanUnloadNow"); }
    HRESULT registerServer() const { return call("DllRegisterServer"); }
    HRESULT unregisterServer() const { return call("DllUnregisterServer"); }

private:
    HRESULT call(const char* name) const; // an export without arguments

    HMODULE module_ = nullptr;
};

} // namespace cfx::test
