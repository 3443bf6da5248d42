// Registration as regsvr32 and the shell see it: the keys and values each
// Windows version's script leaves, the shell's interface cache, what
// unregistration leaves, and registrations that fail half-way.
#include "support/LoadedLibrary.h"
#include "support/TestText.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>

namespace {

using cfx::test::narrow;
using Lines = std::set<std::string>;

const std::wstring kVersion = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
const std::wstring kOverlays = kVersion + L"Explorer\\ShellIconOverlayIdentifiers";
const wchar_t kOther[] = L"{0F0F0F0F-0000-0000-0000-00000000000F}"; // another program's

// "key|name=data" lines (a key alone: neither values nor subkeys), marked with
// the script that writes them: * both, X Windows XP's, O the other. $F is the
// folder's CLSID, $P the current ProgID's key, $M the library and $D its folder.
const wchar_t* const kEntries[] = {
    L"*HKCR\\.demo-coffrex|=Coffrex.3.0 (Demo)",
    L"*HKCR\\.demo-coffrex\\Coffrex.3.0 (Demo)\\ShellNew|=Command",
    L"*HKCR\\.demo-coffrex\\Coffrex.3.0 (Demo)\\ShellNew|Command=\"$D\\cfxwiz.exe\" \"%1\"",
    L"*HKCR\\.demo-coffrex\\ShellNew|=Command",
    L"*HKCR\\.demo-coffrex\\ShellNew|Command=\"$D\\cfxwiz.exe\" \"%1\"",
    L"*HKCR\\Coffrex|=Coffrex (Demo)",
    L"*HKCR\\Coffrex\\CLSID|=$F",
    L"*HKCR\\Coffrex\\CurVer|=Coffrex.3.0 (Demo)",
    L"*$P|=Coffrex (Demo)",
    L"*$P|FriendlyTypeName=Coffrex (Demo)",
    L"*$P\\CLSID|=$F",
    L"*$P\\DefaultIcon|=$M",
    L"X$P\\Shell\\open\\Command|=explorer /idlist,%I,%L",
    L"X$P\\Shell\\open\\ddeexec|=[ViewFolder(\"%l\", %I, %S)]",
    L"X$P\\Shell\\open\\ddeexec|NoActivateHandler=",
    L"X$P\\Shell\\open\\ddeexec\\application|=Folders",
    L"X$P\\Shell\\open\\ddeexec\\ifexec|=[]",
    L"X$P\\Shell\\open\\ddeexec\\topic|=AppProperties",
    L"O$P\\Shell\\open\\command|=%SystemRoot%\\Explorer.exe /idlist,%I,%L",
    L"O$P\\Shell\\open\\command|DelegateExecute={11dbb47c-a525-400b-9e80-a54615a090c0}",
    L"*$P\\ShellEx\\PropertySheetHandlers\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1D}|=Coffrex "
    L"Property Sheet",
    L"*$P\\ShellEx\\ContextMenuHandlers\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1C}",
    L"O$P\\ShellEx\\StorageHandler|=$F",
    L"*HKCR\\CLSID\\$F|FriendlyTypeName=Coffrex (Demo)",
    L"*HKCR\\CLSID\\$F\\DefaultIcon|=$M",
    L"*HKCR\\CLSID\\$F\\ProgID|=Coffrex.3.0 (Demo)",
    L"*HKCR\\CLSID\\$F\\ShellFolder|Attributes=dword:2684354560",
    L"*HKCR\\CLSID\\$F\\Implemented Categories\\{00021490-0000-0000-C000-000000000046}",
};

// Every class has an in-process server; the overlays are approved on Windows
// XP only, and listed by their descriptions as overlay identifiers.
const std::pair<const wchar_t*, const wchar_t*> kClasses[] = {
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C18}", L"Coffrex (Demo)"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1D}", L"Coffrex Property Sheet"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1C}", L"Coffrex Context Menu Handler"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1A}", L"Coffrex Frozen Icon Overlay Handler"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1B}", L"Coffrex Inaccessible Icon Overlay Handler"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C19}", L"Coffrex Key Icon Overlay Handler"},
};

// What a shell or host may ask an extension object for.
const IID* const kProbes[] = {
    &IID_IUnknown,        &IID_IContextMenu,       &IID_IContextMenu2,
    &IID_IPersist,        &IID_IPersistFolder,     &IID_IPersistFolder2,
    &IID_IPersistFolder3, &IID_IPersistFile,       &IID_IShellFolder,
    &IID_IShellFolder2,   &IID_IDropTarget,        &IID_IObjectWithSite,
    &IID_IShellExtInit,   &IID_IShellPropSheetExt, &IID_IShellIconOverlayIdentifier,
    &IID_IExtractIconW,   &IID_IDataObject,        &IID_IDispatch,
    &IID_IShellView};

void dump(HKEY root, const std::wstring& label, const std::wstring& path, Lines& lines) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    wchar_t name[256];
    DWORD values = 0, subkeys = 0, length = 256, type, size = 2000;
    for (BYTE data[2048] = {};
         RegEnumValueW(key, values, name, &length, 0, &type, data, &size) == 0;
         length = 256, size = 2000, ++values) {
        std::wstring text = type == REG_SZ ? reinterpret_cast<wchar_t*>(data)
                            : type == REG_DWORD
                                ? L"dword:" + std::to_wstring(*reinterpret_cast<DWORD*>(data))
                                : L"type " + std::to_wstring(type);
        lines.insert(narrow(label + path + L"|" + name + L"=" + text));
        std::fill(std::begin(data), std::end(data), 0);
    }
    for (length = 256; RegEnumKeyExW(key, subkeys, name, &length, 0, 0, 0, 0) == 0;
         length = 256, ++subkeys)
        dump(root, label, path + L"\\" + name, lines);
    if (values == 0 && subkeys == 0)
        lines.insert(narrow(label + path));
    RegCloseKey(key);
}

// The lines of the keys the registration writes in that mention one of the marks.
Lines registry(std::initializer_list<const char*> marks) {
    Lines all, found;
    for (const wchar_t* key : {L".demo-coffrex", L"Coffrex", L"Coffrex.3.0 (Demo)", L"CLSID"})
        dump(HKEY_CLASSES_ROOT, L"HKCR\\", key, all);
    for (const std::wstring& key : {kVersion + L"Shell Extensions", kOverlays})
        dump(HKEY_LOCAL_MACHINE, L"HKLM\\", key, all);
    for (const std::string& line : all)
        for (const char* mark : marks)
            if (line.find(mark) != std::string::npos)
                found.insert(line);
    return found;
}

// Everything of the library's, Wine's stray keys included.
Lines registered() {
    return registry({"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C", "offrex", "Approved\\val"});
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

// The interface cache comes from each class's answers to the probes, asked
// the way a host asks.
Lines expected(bool xp, const cfx::test::LoadedLibrary& dll) {
    std::set<std::wstring> rows;
    for (const wchar_t* entry : kEntries)
        if (*entry == L'*' || (*entry == L'X') == xp)
            rows.insert(entry + 1);
    const std::wstring approved = L"HKLM\\" + kVersion + L"Shell Extensions\\Approved|";
    for (const auto& [classId, description] : kClasses) {
        const bool overlay = std::wcsstr(description, L"Overlay") != nullptr;
        std::wstring key = L"HKCR\\CLSID\\" + std::wstring(classId);
        rows.insert({key + L"|=" + description, key + L"\\InprocServer32|=$M",
                     key + L"\\InprocServer32|ThreadingModel=Apartment"});
        if (!overlay || xp)
            rows.insert(approved + classId + L"=" + description);
        if (overlay)
            rows.insert(L"HKLM\\" + kOverlays + L"\\" + description + L"|=" + classId);
        CLSID clsid;
        CLSIDFromString(classId, &clsid);
        IClassFactory* factory = nullptr;
        IUnknown *object = nullptr, *answer = nullptr;
        EXPECT_EQ(dll.getClassObject(clsid, IID_IClassFactory, (void**)&factory), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, (void**)&object), S_OK);
        for (const IID* iid : kProbes) {
            wchar_t name[40];
            StringFromGUID2(*iid, name, 40);
            if (object->QueryInterface(*iid, (void**)&answer) != S_OK)
                continue;
            answer->Release();
            rows.insert(L"HKLM\\" + kVersion + L"Shell Extensions\\Cached|" + classId + L" " +
                        name + L" 0x401=dword:1");
        }
        object->Release();
        factory->Release();
    }
    std::wstring module = dll.path();
    const std::pair<std::wstring, std::wstring> placeholders[] = {
        {L"$F", kClasses[0].first},
        {L"$P", L"HKCR\\Coffrex.3.0 (Demo)"},
        {L"$M", module},
        {L"$D", module.substr(0, module.rfind(L'\\'))}};
    Lines lines;
    for (std::wstring row : rows) {
        for (const auto& [from, to] : placeholders)
            for (size_t at; (at = row.find(from)) != std::wstring::npos;)
                row.replace(at, from.size(), to);
        lines.insert(narrow(row));
    }
    return lines;
}

// regsvr32's exit code, run in a process that Wine tells it runs on `version`.
DWORD regsvr32(const std::wstring& arguments, const wchar_t* version) {
    const wchar_t appDefaults[] = L"Software\\Wine\\AppDefaults\\regsvr32.exe";
    if (*version)
        RegSetKeyValueW(HKEY_CURRENT_USER, appDefaults, L"Version", REG_SZ, version,
                        DWORD(wcslen(version) + 1) * sizeof(wchar_t));
    std::wstring command = L"regsvr32.exe /s " + arguments;
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    DWORD code = ~0u;
    // Under a loaded Wine a child now and then dies before it has started
    // (CreateProcess fails); that is not regsvr32's answer, so start it again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!CreateProcessW(nullptr, command.data(), 0, 0, FALSE, 0, 0, 0, &startup, &process)) {
            std::printf("regsvr32 did not start: error %lu\n", GetLastError());
            continue;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        break;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, appDefaults);
    return code;
}

struct Version {
    const wchar_t* wine; // empty: Wine's default, 6.x
    bool xp;
};
class Regsvr32 : public testing::TestWithParam<Version> {};

TEST_P(Regsvr32, WritesTheScriptOfItsWindowsAndTakesItBack) {
    cfx::test::LoadedLibrary dll(L"cfxview.dll");
    const std::wstring path = L"\"" + dll.path() + L"\"";
    for (const wchar_t* key : {L"Shell Extensions\\Approved", L"Shell Extensions\\Cached"})
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kVersion + key).c_str(), kOther, REG_SZ, L"x", 4);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kOverlays + L"\\ " + kOther).c_str(), 0, REG_SZ, L"x", 4);
    const Lines others = registry({narrow(kOther).c_str()});
    ASSERT_EQ(others.size(), 3u);

    ASSERT_EQ(regsvr32(path, GetParam().wine), 0u);
    EXPECT_EQ(differences(registered(), expected(GetParam().xp, dll)), "");
    ASSERT_EQ(regsvr32(L"/u " + path, GetParam().wine), 0u);
    EXPECT_EQ(differences(registered(), {}), "");
    EXPECT_EQ(registry({narrow(kOther).c_str()}), others);
}

// Windows XP (5.1) has a script of its own; 2000 (5.0), Server 2003 (5.2)
// and 6.x share the other.
INSTANTIATE_TEST_SUITE_P(Windows, Regsvr32,
                         testing::Values(Version{L"", false}, Version{L"winxp", true},
                                         Version{L"win2k", false}, Version{L"win2003", false}),
                         [](const auto& test) {
                             return *test.param.wine ? narrow(test.param.wine) : "default";
                         });

// The overlay identifiers' key made volatile: the registrar cannot write
// below it, after having written everything else.
TEST(Registration, ThatFailsHalfWayIsTakenBack) {
    cfx::test::LoadedLibrary dll(L"cfxview.dll");
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    HKEY key;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOverlays.c_str());
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOverlays.c_str(), 0, 0, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, 0, &key, 0),
              0);
    EXPECT_TRUE(
        cfx::test::hrIs(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), dll.registerServer()));
    EXPECT_EQ(differences(registered(), {}), "");
    EXPECT_EQ(dll.canUnloadNow(), S_OK);
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOverlays.c_str());
    CoUninitialize();
}

} // namespace
