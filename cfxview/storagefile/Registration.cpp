// The registration body: the shell's cache of the classes' interfaces, then the
// registry script for this Windows version (cfxview.rgs, or cfxview_xp.rgs on
// Windows XP), run by the system's registrar with the library's values.
#include "storagefile/Registration.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/ModulePath.h"
#include "common/Text.h"
#include "common/Wine.h"
#include "module/ClassTable.h"
#include "module/Module.h"

#include <shellapi.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>
#include <vector>

// The registrar's interface as Windows declares it; the mingw-w64 headers lack it.
MIDL_INTERFACE("44EC053B-400F-11D0-9DCD-00A0C90391D3")
IRegistrar : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id,
                                                         LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id,
                                                           LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR script) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR script) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR file, UINT id,
                                                         LPCOLESTR type) = 0;
};
__CRT_UUID_DECL(IRegistrar, 0x44EC053B, 0x400F, 0x11D0, 0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91,
                0xD3)

namespace cfx::storagefile {

namespace {

using Microsoft::WRL::ComPtr;
using RegistryKey = UniqueHandle<HKEY, &RegCloseKey>;

constexpr CLSID kRegistrarClass = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

// Resources of type "REGISTRY" (cfxview.rc).
constexpr UINT kScriptWindowsXp = 105;
constexpr UINT kScriptOtherWindows = 106;

constexpr wchar_t kCachedKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Cached";
constexpr wchar_t kApprovedKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

struct Replacement {
    const wchar_t* name;
    std::wstring value;
};
using ReplacementTable = std::vector<Replacement>;

ReplacementTable replacementTable(const std::wstring& module) {
    size_t slash = module.rfind(L'\\');
    std::wstring directory = slash == std::wstring::npos ? std::wstring() : module.substr(0, slash);
    return {
        {L"CLSID", guidText(CLSID_StorageFolder)},
        {L"DESCRIPTION", L"Coffrex (Demo)"},
        {L"NEW_HANDLER", directory + L"\\cfxwiz.exe"},
        {L"PROG_ID", L"Coffrex"},
        {L"PROG_ID_CUR", L"Coffrex.3.0 (Demo)"},
        {L"EXTENSION", L".demo-coffrex"},
        {L"MODULE", module},
        {L"ICON", module},
        {L"CTX_MENU_HANDLER", guidText(CLSID_StorageContextMenu)},
        {L"CTX_MENU_DESCRIPTION", L"Coffrex Context Menu Handler"},
        {L"FRIENDLYTYPENAME", L"Coffrex"},
        {L"PS_CLSID", guidText(CLSID_StoragePropertyPage)},
        {L"PS_DESCRIPTION", L"Coffrex Property Sheet"},
        {L"SFGAO", std::to_wstring(static_cast<unsigned long>(SFGAO_FOLDER | SFGAO_HASSUBFOLDER))},
        {L"ICOVR_FROZEN_DESCRIPTION", L"Coffrex Frozen Icon Overlay Handler"},
        {L"ICOVR_FROZEN_CLSID", guidText(CLSID_FrozenOverlay)},
        {L"ICOVR_INACC_DESCRIPTION", L"Coffrex Inaccessible Icon Overlay Handler"},
        {L"ICOVR_INACC_CLSID", guidText(CLSID_InaccessibleOverlay)},
        {L"ICOVR_HASKEY_DESCRIPTION", L"Coffrex Key Icon Overlay Handler"},
        {L"ICOVR_HASKEY_CLSID", guidText(CLSID_KeyOverlay)},
    };
}

const std::wstring& valueOf(const ReplacementTable& table, const wchar_t* name) {
    for (const Replacement& replacement : table)
        if (std::wstring_view(replacement.name) == name)
            return replacement.value;
    raise(E_UNEXPECTED);
}

// Windows version class: 1 for 5.0, 2 for 5.1 (Windows XP), 3 for any 6.x, 0 otherwise.
int windowsVersionClass() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version))
        return 0;
    if (version.dwMajorVersion == 5)
        return version.dwMinorVersion == 0 ? 1 : version.dwMinorVersion == 1 ? 2 : 0;
    return version.dwMajorVersion == 6 ? 3 : 0;
}

UINT scriptForThisWindows() {
    static const UINT script = windowsVersionClass() == 2 ? kScriptWindowsXp : kScriptOtherWindows;
    return script;
}

void setValue(HKEY key, const std::wstring& name, DWORD type, const void* data, size_t size) {
    LSTATUS status = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                                    static_cast<DWORD>(size));
    if (status != ERROR_SUCCESS)
        throw win_except(status);
}

// The shell's cache of the interfaces each extension class answers: a value
// "{CLSID} {IID} 0x401" = 1 for each. Without the key the cache is left alone.
void updateInterfaceCache(bool install) {
    RegistryKey cached;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, kCachedKey, cached.put()) != ERROR_SUCCESS)
        return;
    const DWORD one = 1;
    for (const module::ClassEntry& entry : module::classTable()) {
        for (const IID& iid : module::interfacesOf(*entry.clsid)) {
            std::wstring name = guidText(*entry.clsid) + L" " + guidText(iid) + L" 0x401";
            if (install)
                setValue(cached.get(), name, REG_DWORD, &one, sizeof one);
            else
                RegDeleteValueW(cached.get(), name.c_str());
        }
    }
}

ComPtr<IRegistrar> createRegistrar() {
    ComPtr<IUnknown> object;
    // Nothing can be registered without the system's registrar.
    if (FAILED(CoCreateInstance(kRegistrarClass, nullptr,
                                CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                    CLSCTX_REMOTE_SERVER,
                                IID_IUnknown, &object)))
        raise(E_UNEXPECTED);
    check(OleRun(object.Get()));
    ComPtr<IRegistrar> registrar;
    check(object.As(&registrar));
    return registrar;
}

// Wine's registrar (its atl.dll, Wine 8) gets three kinds of script line
// wrong; every other line of these scripts it handles as Windows' does:
// - a `d` value above 0x7FFFFFFF is stored as 0x7FFFFFFF (the folder class's
//   ShellFolder\Attributes, 0xA0000000);
// - `ForceRemove val NAME = s 'TEXT'` writes no value NAME but an empty subkey
//   "val" and a subkey NAME with the default TEXT (the Approved list);
// - at unregistration `val` lines are not deleted, so the Approved values
//   written here would stay (every other value goes with its key).
// It also fails a whole script on an `e` value; these scripts hold none.
// Under Wine only, this pass gives those lines the result Windows' registrar
// gives them, after the script has run. The first failure is returned.
HRESULT correctWineRegistrar(bool install, UINT script, const ReplacementTable& table) {
    struct Approval {
        const wchar_t* clsid;
        const wchar_t* description;
        bool windowsXpOnly;
    };
    static const Approval approvals[] = {
        {L"CLSID", L"DESCRIPTION", false},
        {L"PS_CLSID", L"PS_DESCRIPTION", false},
        {L"CTX_MENU_HANDLER", L"CTX_MENU_DESCRIPTION", false},
        {L"ICOVR_FROZEN_CLSID", L"ICOVR_FROZEN_DESCRIPTION", true},
        {L"ICOVR_INACC_CLSID", L"ICOVR_INACC_DESCRIPTION", true},
        {L"ICOVR_HASKEY_CLSID", L"ICOVR_HASKEY_DESCRIPTION", true},
    };
    return guarded([&] {
        RegistryKey approved;
        LSTATUS status = RegCreateKeyW(HKEY_LOCAL_MACHINE, kApprovedKey, approved.put());
        if (status != ERROR_SUCCESS)
            throw win_except(status);
        RegDeleteTreeW(approved.get(), L"val");
        for (const Approval& approval : approvals) {
            if (approval.windowsXpOnly && script != kScriptWindowsXp)
                continue;
            const std::wstring& clsid = valueOf(table, approval.clsid);
            RegDeleteTreeW(approved.get(), clsid.c_str());
            if (install) {
                const std::wstring& text = valueOf(table, approval.description);
                setValue(approved.get(), clsid, REG_SZ, text.c_str(),
                         (text.size() + 1) * sizeof(wchar_t));
            } else {
                RegDeleteValueW(approved.get(), clsid.c_str());
            }
        }
        if (install) {
            RegistryKey folder;
            std::wstring path = L"CLSID\\" + valueOf(table, L"CLSID") + L"\\ShellFolder";
            status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_SET_VALUE, folder.put());
            if (status != ERROR_SUCCESS)
                throw win_except(status);
            const DWORD attributes = std::stoul(valueOf(table, L"SFGAO"));
            setValue(folder.get(), L"Attributes", REG_DWORD, &attributes, sizeof attributes);
        }
    });
}

HRESULT runRegistration(bool install) {
    updateInterfaceCache(install);

    ComPtr<IRegistrar> registrar = createRegistrar();
    std::wstring module = modulePath(module::instance());
    ReplacementTable table = replacementTable(module);
    for (const Replacement& replacement : table)
        check(registrar->AddReplacement(replacement.name, replacement.value.c_str()));

    UINT script = scriptForThisWindows();
    HRESULT result = install ? registrar->ResourceRegister(module.c_str(), script, L"REGISTRY")
                             : registrar->ResourceUnregister(module.c_str(), script, L"REGISTRY");
    if (runningUnderWine() && (SUCCEEDED(result) || !install)) {
        HRESULT corrected = correctWineRegistrar(install, script, table);
        if (SUCCEEDED(result))
            result = corrected;
    }
    registrar.Reset();

    if (SUCCEEDED(result)) {
        SHLoadNonloadedIconOverlayIdentifiers();
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, nullptr, nullptr);
    }
    return result;
}

} // namespace

HRESULT registerServer(bool install) {
    HRESULT result = guarded([&] { return runRegistration(install); });
    // Registration succeeds as a whole or takes back what it wrote.
    if (install && FAILED(result))
        registerServer(false);
    return result;
}

} // namespace cfx::storagefile
