// Registration as regsvr32 and the shell see it: the keys and values each
// Windows version's script leaves, and what unregistration leaves.
#include "support/LoadedLibrary.h"
#include "support/TestText.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using cfx::test::narrow;

const std::wstring kVersion = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
const std::wstring kOverlays = kVersion + L"Explorer\\ShellIconOverlayIdentifiers";
const std::wstring kApproved = L"HKLM\\" + kVersion + L"Shell Extensions\\Approved|";
const wchar_t kOther[] = L"{0F0F0F0F-0000-0000-0000-00000000000F}"; // another program's

// "key|name=data" lines (a key alone when there is no "|"), marked with the
// script that writes them: * both, X Windows XP's, O the other. $F is the
// folder's CLSID, $P the current ProgID's key, $M the library and $D its folder.
const wchar_t* const kEntries[] = {
    L"*HKCR\\.demo-coffrex|=Coffrex.3.0 (Demo)",
    L"*HKCR\\.demo-coffrex\\ShellNew|Command=\"$D\\cfxwiz.exe\" \"%1\"",
    L"*$P\\CLSID|=$F",
    L"X$P\\Shell\\open\\Command|=explorer /idlist,%I,%L",
    L"X$P\\Shell\\open\\ddeexec|=[ViewFolder(\"%l\", %I, %S)]",
    L"O$P\\Shell\\open\\command|DelegateExecute={11dbb47c-a525-400b-9e80-a54615a090c0}",
    L"O$P\\ShellEx\\StorageHandler|=$F",
    L"*$P\\ShellEx\\PropertySheetHandlers\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1D}|=Coffrex "
    L"Property Sheet",
    L"*$P\\ShellEx\\ContextMenuHandlers\\{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1C}",
    L"*HKCR\\CLSID\\$F\\ShellFolder|Attributes=dword:2684354560",
};

// Every class has an in-process server; the overlays are approved on Windows
// XP only, and listed by their descriptions as overlay identifiers.
const wchar_t* const kClasses[][2] = {
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C18}", L"Coffrex (Demo)"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1D}", L"Coffrex Property Sheet"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1C}", L"Coffrex Context Menu Handler"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1A}", L"Coffrex Frozen Icon Overlay Handler"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C1B}", L"Coffrex Inaccessible Icon Overlay Handler"},
    {L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C19}", L"Coffrex Key Icon Overlay Handler"},
};

// Each line with whether the script of the version writes it.
std::vector<std::pair<std::wstring, bool>> expected(bool xp, const std::wstring& module) {
    std::vector<std::pair<std::wstring, bool>> lines;
    for (const wchar_t* entry : kEntries)
        lines.emplace_back(entry + 1, *entry == L'*' || (*entry == L'X') == xp);
    for (const auto& [classId, description] : kClasses) {
        const bool overlay = std::wcsstr(description, L"Overlay") != nullptr;
        const std::wstring key = L"HKCR\\CLSID\\" + std::wstring(classId);
        for (std::wstring line : {key + L"|=" + description, key + L"\\InprocServer32|=$M",
                                  key + L"\\InprocServer32|ThreadingModel=Apartment"})
            lines.emplace_back(line, true);
        lines.emplace_back(kApproved + classId + L"=" + description, !overlay || xp);
        lines.emplace_back(L"HKLM\\" + kOverlays + L"\\" + description + L"|=" + classId, overlay);
    }
    const std::pair<std::wstring, std::wstring> placeholders[] = {
        {L"$F", kClasses[0][0]},
        {L"$P", L"HKCR\\Coffrex.3.0 (Demo)"},
        {L"$M", module},
        {L"$D", module.substr(0, module.rfind(L'\\'))}};
    for (auto& line : lines)
        for (const auto& [from, to] : placeholders)
            for (size_t at; (at = line.first.find(from)) != std::wstring::npos;)
                line.first.replace(at, from.size(), to);
    return lines;
}

// Whether the registry has the line.
bool present(std::wstring line) {
    HKEY root = line.rfind(L"HKLM", 0) == 0 ? HKEY_LOCAL_MACHINE : HKEY_CLASSES_ROOT, key;
    const size_t bar = line.find(L'|'), equals = line.find(L'=', bar);
    const std::wstring path = line.substr(5, bar - 5),
                       name = line.substr(bar + 1, equals - bar - 1);
    if (bar == std::wstring::npos) {
        const bool found = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        return found && !RegCloseKey(key);
    }
    wchar_t data[512] = L"";
    DWORD size = sizeof data, type = 0;
    if (RegGetValueW(root, path.c_str(), name.empty() ? nullptr : name.c_str(),
                     RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS)
        return false;
    return line.substr(equals + 1) ==
           (type == REG_DWORD ? L"dword:" + std::to_wstring((DWORD(data[0]) | DWORD(data[1]) << 16))
                              : data);
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

// Another program's approval, cache entry and overlay stay.
TEST_P(Regsvr32, WritesTheScriptOfItsWindowsAndTakesItBack) {
    cfx::test::LoadedLibrary dll(L"cfxview.dll");
    const std::wstring path = L"\"" + dll.path() + L"\"";
    for (const wchar_t* key : {L"Shell Extensions\\Approved", L"Shell Extensions\\Cached"})
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kVersion + key).c_str(), kOther, REG_SZ, L"x", 4);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kOverlays + L"\\ " + kOther).c_str(), 0, REG_SZ, L"x", 4);
    const auto lines = expected(GetParam().xp, dll.path());
    ASSERT_EQ(regsvr32(path, GetParam().wine), 0u);
    for (const auto& [line, written] : lines)
        EXPECT_EQ(written, present(line)) << narrow(line);
    ASSERT_EQ(regsvr32(L"/u " + path, GetParam().wine), 0u);
    for (const auto& [line, written] : lines)
        EXPECT_FALSE(present(line)) << narrow(line);
    for (const std::wstring& line :
         {kApproved + kOther + L"=x",
          L"HKLM\\" + kVersion + L"Shell Extensions\\Cached|" + kOther + L"=x",
          L"HKLM\\" + kOverlays + L"\\ " + kOther + L"|=x"})
        EXPECT_TRUE(present(line)) << narrow(line);
}

// Windows XP (5.1) has a script of its own; 2000 (5.0), Server 2003 (5.2)
// and 6.x share the other.
INSTANTIATE_TEST_SUITE_P(Windows, Regsvr32,
                         testing::Values(Version{L"", false}, Version{L"winxp", true},
                                         Version{L"win2k", false}, Version{L"win2003", false}),
                         [](const auto& test) {
                             return *test.param.wine ? narrow(test.param.wine) : "default";
                         });

} // namespace
