// cfxclasses: loads cfxview.dll the way COM does and prints the classes it
// serves with the interfaces each one answers, probing the shell interfaces a
// host may ask for. It knows the library only from outside: its exported
// entry points and its public class identifiers.
#include "common/Handles.h"
#include "common/Text.h"
#include "idl/cfxview_classes.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

namespace {

struct NamedInterface {
    const char* name;
    const IID* iid;
};

const NamedInterface kProbes[] = {
    {"IUnknown", &IID_IUnknown},
    {"IClassFactory", &IID_IClassFactory},
    {"IContextMenu", &IID_IContextMenu},
    {"IContextMenu2", &IID_IContextMenu2},
    {"IContextMenu3", &IID_IContextMenu3},
    {"IPersist", &IID_IPersist},
    {"IPersistFolder", &IID_IPersistFolder},
    {"IPersistFolder2", &IID_IPersistFolder2},
    {"IPersistFolder3", &IID_IPersistFolder3},
    {"IPersistIDList", &IID_IPersistIDList},
    {"IPersistFile", &IID_IPersistFile},
    {"IShellFolder", &IID_IShellFolder},
    {"IShellFolder2", &IID_IShellFolder2},
    {"IDropTarget", &IID_IDropTarget},
    {"IObjectWithSite", &IID_IObjectWithSite},
    {"IShellExtInit", &IID_IShellExtInit},
    {"IShellPropSheetExt", &IID_IShellPropSheetExt},
    {"IShellIconOverlayIdentifier", &IID_IShellIconOverlayIdentifier},
    {"IExtractIconW", &IID_IExtractIconW},
    {"IQueryInfo", &IID_IQueryInfo},
    {"IDataObject", &IID_IDataObject},
    {"IDispatch", &IID_IDispatch},
    {"IMarshal", &IID_IMarshal},
};

template <class F> F* exported(HMODULE module, const char* name) {
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

int main() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"cfxview.dll";

    cfx::LoadedModule dll(LoadLibraryW(path.c_str()));
    if (!dll) {
        std::fprintf(stderr, "cfxclasses: cannot load %ls (error %lu)\n", path.c_str(),
                     GetLastError());
        return 1;
    }
    auto getClassObject =
        exported<HRESULT WINAPI(REFCLSID, REFIID, void**)>(dll.get(), "DllGetClassObject");
    auto canUnloadNow = exported<HRESULT WINAPI()>(dll.get(), "DllCanUnloadNow");
    if (!getClassObject || !canUnloadNow) {
        std::fprintf(stderr, "cfxclasses: %ls lacks the COM entry points\n", path.c_str());
        return 1;
    }

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool present = static_cast<bool>(
        cfx::KernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, cfx::kPresenceMutexName)));
    std::printf("%ls\npresence mutex \"%ls\": %s\n\n", path.c_str(), cfx::kPresenceMutexName,
                present ? "present" : "MISSING");

    int failures = 0;
    for (const cfx::PublicClass& entry : cfx::kPublicClasses) {
        std::printf("%ls  %ls\n", cfx::guidText(*entry.clsid).c_str(), entry.name);
        IClassFactory* factory = nullptr;
        IUnknown* object = nullptr;
        HRESULT hr =
            getClassObject(*entry.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (SUCCEEDED(hr))
            hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
        if (FAILED(hr)) {
            std::printf("    cannot be created: 0x%08lX\n", static_cast<unsigned long>(hr));
            ++failures;
        } else {
            std::printf("   ");
            for (const NamedInterface& probe : kProbes) {
                IUnknown* answer = nullptr;
                if (SUCCEEDED(
                        object->QueryInterface(*probe.iid, reinterpret_cast<void**>(&answer)))) {
                    std::printf(" %s", probe.name);
                    answer->Release();
                }
            }
            std::printf("\n");
            object->Release();
        }
        if (factory)
            factory->Release();
    }

    HRESULT unload = canUnloadNow();
    std::printf("\nDllCanUnloadNow after releasing everything: %s\n",
                unload == S_OK ? "S_OK" : "S_FALSE");
    CoUninitialize();
    return failures == 0 && unload == S_OK ? 0 : 1;
}
