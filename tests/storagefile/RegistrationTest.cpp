// Registration as regsvr32 and the shell see it: the keys and values each
// Windows version's script leaves, the shell's interface cache, what
// unregistration leaves, and registrations that fail half-way.
#include "support/LoadedLibrary.h"
#include "support/TestText.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <set>
#include <string>

namespace {

using cfx::test::LoadedLibrary;
using Lines = std::set<std::string>;

const std::wstring kVersion = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
const std::wstring kApproved = kVersion + L"Shell Extensions\\Approved";
const std::wstring kCached = kVersion + L"Shell Extensions\\Cached";
const std::wstring kOverlays = kVersion + L"Explorer\\ShellIconOverlayIdentifiers";
const wchar_t kRegistrarKey[] = L"CLSID\\{44EC053A-400F-11D0-9DCD-00A0C90391D3}";
const wchar_t kSavedRegistrar[] = L"Software\\Saved registrar";

enum Scripts { Both, XpOnly, OtherOnly };

// Keys and values beside the classes' own; a null name is a key with neither
// values nor subkeys. $F is the folder's CLSID, $P the current ProgID's key,
// $M the library's path and $D its folder.
const struct {
    Scripts scripts;
    const wchar_t *key, *name, *data;
} kEntries[] = {
    {Both, L"HKCR\\.demo-coffrex", L"", L"Coffrex.3.0 (Demo)"},
    {Both, L"HKCR\\.demo-coffrex\\Coffrex.3.0 (Demo)\\ShellNew", L"", L"Command"},
    {Both, L"HKCR\\.demo-coffrex\\Coffrex.3.0 (Demo)\\ShellNew", L"Command",
     L"\"$D\\cfxwiz.exe\" \"%1\""},
    {Both, L"HKCR\\.demo-coffrex\\ShellNew", L"", L"Command"},
    {Both, L"HKCR\\.demo-coffrex\\ShellNew", L"Command", L"\"$D\\cfxwiz.exe\" \"%1\""},
    {Both, L"HKCR\\Coffrex", L"", L"Coffrex (Demo)"},
    {Both, L"HKCR\\Coffrex\\CLSID", L"", L"$F"},
    {Both, L"HKCR\\Coffrex\\CurVer", L"", L"Coffrex.3.0 (Demo)"},
    {Both, L"$P", L"", L"Coffrex (Demo)"},
    {Both, L"$P", L"FriendlyTypeName", L"Coffrex (Demo)"},
    {Both, L"$P\\CLSID", L"", L"$F"},
    {Both, L"$P\\DefaultIcon", L"", L"$M"},
    {XpOnly, L"$P\\Shell\\open\\Command", L"", L"explorer /idlist,%I,%L"},
    {XpOnly, L"$P\\Shell\\open\\ddeexec", L"", L"[ViewFolder(\"%l\", %I, %S)]"},
    {XpOnly, L"$P\\Shell\\open\\ddeexec", L"NoActivateHandler", L""},
    {XpOnly, L"$P\\Shell\\open\\ddeexec\\application", L"", L"Folders"},
    {XpOnly, L"$P\\Shell\\open\\ddeexec\\ifexec", L"", L"[]"},
    {XpOnly, L"$P\\Shell\\open\\ddeexec\\topic", L"", L"AppProperties"},
    {OtherOnly, L"$P\\Shell\\open\\command", L"", L"%SystemRoot%\\Explorer.exe /idlist,%I,%L"},
    {OtherOnly, L"$P\\Shell\\open\\command", L"DelegateExecute",
     L"{11dbb47c-a525-400b-9e80-a54615a090c0}"},
    {Both, L"$P\\ShellEx\\PropertySheetHandlers\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1D}", L"",
     L"Coffrex Property Sheet"},
    {Both, L"$P\\ShellEx\\ContextMenuHandlers\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1C}", nullptr,
     nullptr},
    {OtherOnly, L"$P\\ShellEx\\StorageHandler", L"", L"$F"},
    {Both, L"HKCR\\CLSID\\$F", L"FriendlyTypeName", L"Coffrex (Demo)"},
    {Both, L"HKCR\\CLSID\\$F\\DefaultIcon", L"", L"$M"},
    {Both, L"HKCR\\CLSID\\$F\\ProgID", L"", L"Coffrex.3.0 (Demo)"},
    {Both, L"HKCR\\CLSID\\$F\\ShellFolder", L"Attributes", L"dword:a0000000"},
    {Both, L"HKCR\\CLSID\\$F\\Implemented Categories\\{00021490-0000-0000-C000-000000000046}",
     nullptr, nullptr},
};

// Every class has an in-process server; the overlays are approved on Windows
// XP only, and listed by their descriptions as overlay identifiers.
const struct {
    const wchar_t *clsid, *description;
    bool overlay;
} kClasses[] = {
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C18}", L"Coffrex (Demo)", false},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1D}", L"Coffrex Property Sheet", false},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1C}", L"Coffrex Context Menu Handler", false},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1A}", L"Coffrex Frozen Icon Overlay Handler", true},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1B}", L"Coffrex Inaccessible Icon Overlay Handler", true},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C19}", L"Coffrex Key Icon Overlay Handler", true},
};

// What a shell or host may ask an extension object for.
const IID* const kProbes[] = {
    &IID_IUnknown,        &IID_IContextMenu,       &IID_IContextMenu2,
    &IID_IPersist,        &IID_IPersistFolder,     &IID_IPersistFolder2,
    &IID_IPersistFolder3, &IID_IPersistFile,       &IID_IShellFolder,
    &IID_IShellFolder2,   &IID_IDropTarget,        &IID_IObjectWithSite,
    &IID_IShellExtInit,   &IID_IShellPropSheetExt, &IID_IShellIconOverlayIdentifier,
    &IID_IExtractIconW,   &IID_IDataObject,        &IID_IDispatch,
    &IID_IShellView,
};

std::wstring text(DWORD type, const BYTE* data) {
    wchar_t number[20];
    swprintf(number, 20, L"dword:%08lx", *reinterpret_cast<const DWORD*>(data));
    return type == REG_SZ      ? reinterpret_cast<const wchar_t*>(data)
           : type == REG_DWORD ? number
                               : L"type " + std::to_wstring(type);
}

// The values below a key and its empty leaf keys, as "key|name=data" lines.
void dump(HKEY root, const std::wstring& label, const std::wstring& path, Lines& lines) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    wchar_t name[256];
    DWORD values = 0, subkeys = 0, length = 256, type, size;
    for (BYTE data[2048] = {}; size = sizeof data - 2,
              RegEnumValueW(key, values, name, &length, nullptr, &type, data, &size) == 0;
         length = 256, ++values) {
        lines.insert(cfx::test::narrow(label + path + L"|" + name + L"=" + text(type, data)));
        std::fill(std::begin(data), std::end(data), 0);
    }
    for (length = 256; RegEnumKeyExW(key, subkeys, name, &length, 0, 0, 0, 0) == 0; length = 256) {
        dump(root, label, path + L"\\" + name, lines);
        ++subkeys;
    }
    if (values == 0 && subkeys == 0)
        lines.insert(cfx::test::narrow(label + path));
    RegCloseKey(key);
}

// "+ line" for each line found but not wanted, "- line" for each one missing.
std::string differences(const Lines& found, const Lines& wanted) {
    std::string text;
    for (const std::string& line : found)
        text += wanted.count(line) ? "" : "\n+ " + line;
    for (const std::string& line : wanted)
        text += found.count(line) ? "" : "\n- " + line;
    return text;
}

Lines expected(bool xp, const std::wstring& module) {
    std::set<std::wstring> rows;
    auto add = [&](const std::wstring& key, const wchar_t* name, const std::wstring& data) {
        rows.insert(name ? key + L"|" + name + L"=" + data : key);
    };
    for (const auto& entry : kEntries)
        if (entry.scripts == Both || (entry.scripts == XpOnly) == xp)
            add(entry.key, entry.name, entry.name ? entry.data : L"");
    for (const auto& c : kClasses) {
        add(L"HKCR\\CLSID\\" + std::wstring(c.clsid), L"", c.description);
        add(L"HKCR\\CLSID\\" + std::wstring(c.clsid) + L"\\InprocServer32", L"", L"$M");
        add(L"HKCR\\CLSID\\" + std::wstring(c.clsid) + L"\\InprocServer32", L"ThreadingModel",
            L"Apartment");
        if (!c.overlay || xp)
            add(L"HKLM\\" + kApproved, c.clsid, c.description);
        if (c.overlay)
            add(L"HKLM\\" + kOverlays + L"\\" + c.description, L"", c.clsid);
    }
    const std::pair<std::wstring, std::wstring> placeholders[] = {
        {L"$F", kClasses[0].clsid},
        {L"$P", L"HKCR\\Coffrex.3.0 (Demo)"},
        {L"$M", module},
        {L"$D", module.substr(0, module.rfind(L'\\'))}};
    Lines lines;
    for (std::wstring row : rows) {
        for (const auto& [from, to] : placeholders)
            for (size_t at; (at = row.find(from)) != std::wstring::npos;)
                row.replace(at, from.size(), to);
        lines.insert(cfx::test::narrow(row));
    }
    return lines;
}

// Everything of the library's below the shared keys, Wine's stray keys included.
Lines registered() {
    Lines lines;
    for (const wchar_t* key : {L".demo-coffrex", L"Coffrex", L"Coffrex.3.0 (Demo)"})
        dump(HKEY_CLASSES_ROOT, L"HKCR\\", key, lines);
    dump(HKEY_LOCAL_MACHINE, L"HKLM\\", kApproved + L"\\val", lines);
    Lines approved;
    dump(HKEY_LOCAL_MACHINE, L"HKLM\\", kApproved, approved);
    for (const auto& c : kClasses) {
        dump(HKEY_CLASSES_ROOT, L"HKCR\\", L"CLSID\\" + std::wstring(c.clsid), lines);
        dump(HKEY_LOCAL_MACHINE, L"HKLM\\", kOverlays + L"\\" + c.description, lines);
        for (const std::string& line : approved)
            if (line.find(cfx::test::narrow(c.clsid)) != std::string::npos)
                lines.insert(line);
    }
    return lines;
}

Lines cachedValues() {
    Lines all, ours;
    dump(HKEY_LOCAL_MACHINE, L"", kCached, all);
    for (const std::string& line : all)
        if (line.find("|{6B3E91D2-0C4F-4A87-9E15-D27A40B85C") != std::string::npos)
            ours.insert(line.substr(line.find('|') + 1));
    return ours;
}

// The cache the shell should find: each class's answers to the probes, asked
// the way a host asks.
Lines answeredInterfaces(const LoadedLibrary& dll) {
    Lines lines;
    for (const auto& c : kClasses) {
        CLSID clsid;
        IClassFactory* factory = nullptr;
        IUnknown* object = nullptr;
        CLSIDFromString(c.clsid, &clsid);
        if (dll.getClassObject(clsid, IID_IClassFactory, (void**)&factory) != S_OK ||
            factory->CreateInstance(nullptr, IID_IUnknown, (void**)&object) != S_OK) {
            ADD_FAILURE() << "no object for " << cfx::test::narrow(c.clsid);
            continue;
        }
        for (const IID* iid : kProbes) {
            IUnknown* answer = nullptr;
            wchar_t name[40];
            StringFromGUID2(*iid, name, 40);
            if (object->QueryInterface(*iid, (void**)&answer) != S_OK)
                continue;
            answer->Release();
            lines.insert(cfx::test::narrow(c.clsid + (L" " + std::wstring(name)) + L" 0x401") +
                         "=dword:00000001");
        }
        object->Release();
        factory->Release();
    }
    return lines;
}

// regsvr32 in a process of its own, told by Wine it runs on `version`
// (Wine's default when empty); its exit code.
DWORD regsvr32(const std::wstring& arguments, const std::wstring& version) {
    const wchar_t appDefaults[] = L"Software\\Wine\\AppDefaults\\regsvr32.exe";
    if (!version.empty())
        RegSetKeyValueW(HKEY_CURRENT_USER, appDefaults, L"Version", REG_SZ, version.c_str(),
                        DWORD(version.size() + 1) * sizeof(wchar_t));
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(system) + L"\\regsvr32.exe\" /s " + arguments;
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    DWORD code = ~0u;
    if (CreateProcessW(nullptr, command.data(), 0, 0, FALSE, 0, 0, 0, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, appDefaults);
    return code;
}

// Another program's entries in the keys the registration shares.
const wchar_t kOther[] = L"{0F0F0F0F-0000-0000-0000-00000000000F}";
Lines othersEntries() {
    Lines lines;
    for (const std::wstring& key : {kApproved, kCached, kOverlays})
        dump(HKEY_LOCAL_MACHINE, L"", key, lines);
    for (auto it = lines.begin(); it != lines.end();)
        it = it->find(cfx::test::narrow(kOther)) == std::string::npos ? lines.erase(it) : ++it;
    return lines;
}

struct Version {
    const wchar_t* wine;
    bool xp;
};
class Regsvr32 : public testing::TestWithParam<Version> {};

TEST_P(Regsvr32, WritesTheScriptOfItsWindowsAndTakesItBack) {
    LoadedLibrary dll(L"cfxview.dll");
    const DWORD one = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kApproved.c_str(), kOther, REG_SZ, L"x", 4);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kCached.c_str(), kOther, REG_DWORD, &one, 4);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kOverlays + L"\\ " + kOther).c_str(), 0, REG_SZ, L"x", 4);
    Lines others = othersEntries();
    ASSERT_EQ(others.size(), 3u);

    ASSERT_EQ(regsvr32(L"\"" + dll.path() + L"\"", GetParam().wine), 0u);
    EXPECT_EQ(differences(registered(), expected(GetParam().xp, dll.path())), "");
    EXPECT_EQ(differences(cachedValues(), answeredInterfaces(dll)), "");

    ASSERT_EQ(regsvr32(L"/u \"" + dll.path() + L"\"", GetParam().wine), 0u);
    EXPECT_EQ(differences(registered(), {}), "");
    EXPECT_EQ(differences(cachedValues(), {}), "");
    EXPECT_EQ(othersEntries(), others);
}

// Windows XP (5.1) has a script of its own; 2000 (5.0), Server 2003 (5.2)
// and 6.x (Wine's default) share the other.
INSTANTIATE_TEST_SUITE_P(Windows, Regsvr32,
                         testing::Values(Version{L"", false}, Version{L"winxp", true},
                                         Version{L"win2k", false}, Version{L"win2003", false}),
                         [](const auto& info) {
                             return *info.param.wine ? cfx::test::narrow(info.param.wine)
                                                     : std::string("default");
                         });

// Registrations that fail half-way: the overlay identifiers' key made
// volatile, so that the registrar cannot write below it after having written
// everything else; and the registrar itself missing.
const struct {
    const char* name;
    HRESULT expected;
    void (*breakIt)();
    void (*repair)();
} kFailures[] = {
    {"key the registrar cannot write", HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE),
     [] {
         HKEY key;
         RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOverlays.c_str());
         ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOverlays.c_str(), 0, 0, REG_OPTION_VOLATILE,
                                   KEY_ALL_ACCESS, 0, &key, 0),
                   0);
         RegCloseKey(key);
     },
     [] {
         HKEY key;
         RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOverlays.c_str());
         RegCreateKeyW(HKEY_LOCAL_MACHINE, kOverlays.c_str(), &key);
         RegCloseKey(key);
     }},
    {"no registrar", E_UNEXPECTED,
     [] {
         HKEY saved;
         ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, kSavedRegistrar, &saved), 0);
         ASSERT_EQ(RegCopyTreeW(HKEY_CLASSES_ROOT, kRegistrarKey, saved), 0);
         RegCloseKey(saved);
         ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, kRegistrarKey), 0);
     },
     [] {
         HKEY key;
         RegCreateKeyW(HKEY_CLASSES_ROOT, kRegistrarKey, &key);
         RegCopyTreeW(HKEY_CURRENT_USER, kSavedRegistrar, key);
         RegCloseKey(key);
         RegDeleteTreeW(HKEY_CURRENT_USER, kSavedRegistrar);
     }},
};

TEST(Registration, ThatFailsHalfWayIsTakenBack) {
    LoadedLibrary dll(L"cfxview.dll");
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    for (const auto& failure : kFailures) {
        SCOPED_TRACE(failure.name);
        failure.breakIt();
        EXPECT_TRUE(cfx::test::hrIs(failure.expected, dll.registerServer()));
        failure.repair();
        EXPECT_EQ(differences(registered(), {}), "");
        EXPECT_EQ(differences(cachedValues(), {}), "");
        EXPECT_EQ(dll.canUnloadNow(), S_OK);
    }
    CoUninitialize();
}

} // namespace
