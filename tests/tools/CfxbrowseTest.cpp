// cfxbrowse.exe as a script runs it, in a real window on the test's X display:
// the shell's views of folders, of files whose type is a folder class, refusals.
#include "support/LoadedLibrary.h"
#include "support/TestText.h"
#include "storeserver/ToolProcess.h"

#include <sstream>

namespace {

using cfx::store::test::ToolProcess;
using cfx::store::test::ToolRun;
using cfx::test::narrow;

std::wstring scratchPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

// cfxbrowse.exe with its output going to a file; the "folder: " lines it
// printed joined by "|" in front of the whole output.
class Program {
public:
    explicit Program(const std::wstring& arguments) : process_(arguments, log_, L"cfxbrowse.exe") {}
    ToolRun finish() {
        ToolRun run = process_.finish(GetTickCount64() + 240000);
        EXPECT_TRUE(run.ended) << "cfxbrowse.exe did not end";
        std::istringstream lines(run.output);
        std::string folders;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("folder: ", 0) == 0)
                folders += (folders.empty() ? "" : "|") + line.substr(8);
        run.output = folders + "\n" + run.output;
        DeleteFileW(log_.c_str());
        return run;
    }

private:
    std::wstring log_ = scratchPath(L"cfxbrowse-output.txt");
    ToolProcess process_;
};

// Files whose type names a folder class, in the prefix's temporary folder
// (%T below): the file system's own folder class stands in for a folder class
// of a DLL (made for a file, it shows an empty folder), reached through the
// ProgID or its CurVer; a class without a ShellFolder key, and one with the
// key but not registered.
const wchar_t kFileSystemFolder[] = L"{F3364BA0-65B9-11CE-A9BA-00AA004AE837}";
const wchar_t* const kTypes[][3] = {
    {L"progid", L"CLSID", kFileSystemFolder},
    {L"curver", L"CurVer", L"CfxBrowse.curver.1"},
    {L"curver.1", L"CLSID", kFileSystemFolder},
    {L"noshell", L"CLSID", L"{0E5A1B36-0B5C-4D8E-9C41-6E2A4F0D7B11}"},
    {L"unregistered", L"CLSID", L"{0E5A1B36-0B5C-4D8E-9C41-6E2A4F0D7B12}"},
};

// The exit code, and the folders shown (in order) or the text of the refusal.
struct RunCase {
    const wchar_t* arguments;
    DWORD exitCode;
    const char* says;
};
const RunCase kRuns[] = {
    {L"C:\\windows /open system32 /back", 0, "windows|system32|windows\n"},
    {L"C:\\windows\\system32 /up /open SYSTEM32", 0, "system32|windows|system32\n"},
    {L"C:\\windows /open system32 /open drivers /up /up /back", 0,
     "windows|system32|drivers|system32|windows|system32\n"},
    {L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D} /open C:\\ /open windows", 0,
     "My Computer| (C:)|windows\n"},
    {L"%T\\box.cfxb-progid /screenshot %T\\a.png", 0, "folder: box"},
    {L"%T\\box.cfxb-curver /screenshot %T\\b.png", 0, "folder: box"},
    {L"%T /open box.cfxb-progid /up /back", 0, "|cfxbrowse|box"},
    {L"", 2, "no folder given"},
    {L"C:\\windows /zoom", 2, "unknown option /zoom"},
    {L"C:\\windows /open", 2, "/open needs a value"},
    {L"C:\\windows C:\\users", 2, "one folder only"},
    {L"C:\\nowhere\\at\\all", 1, "opening \"C:\\nowhere\\at\\all\""},
    {L"C:\\windows\\win.ini", 1, "\"C:\\windows\\win.ini\" is not a folder"},
    {L"C:\\windows /open nothing-here", 1, "there is no item \"nothing-here\" in \"windows\""},
    {L"C:\\windows /back", 1, "there is no folder to go back to"},
    {L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D} /up /up", 1, "has no parent folder"},
    {L"C:\\windows /screenshot C:\\nowhere\\picture.png", 1,
     "taking a picture into \"C:\\nowhere\\picture.png\""},
    {L"%T\\box.cfxb-noshell", 1, "is not a folder"},
    {L"%T\\box.cfxb-unregistered", 1, "creating the folder object for"},
};
class Runs : public testing::TestWithParam<RunCase> {
protected:
    static void SetUpTestSuite() {
        CreateDirectoryW(scratchPath(L"cfxbrowse").c_str(), nullptr);
        for (const auto& [type, key, value] : kTypes) {
            const std::wstring progId = std::wstring(L"CfxBrowse.") + type;
            if (!wcschr(type, L'.')) {
                setDefault(L".cfxb-" + std::wstring(type), progId);
                cfx::FileHandle(
                    CreateFileW(scratchPath(L"cfxbrowse\\box.cfxb-").append(type).c_str(),
                                GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            }
            setDefault(progId + L"\\" + key, value);
        }
        for (const wchar_t* folderClass : {kFileSystemFolder, kTypes[4][2]})
            setDefault(std::wstring(L"CLSID\\") + folderClass + L"\\ShellFolder", L"");
    }
    static void setDefault(const std::wstring& key, const std::wstring& value) {
        RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, value.c_str(),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
};

TEST_P(Runs, ShowTheFoldersOrSayWhatWasWrong) {
    std::wstring arguments = GetParam().arguments;
    for (size_t at; (at = arguments.find(L"%T")) != std::wstring::npos;)
        arguments.replace(at, 2, scratchPath(L"cfxbrowse"));
    ToolRun run = Program(arguments).finish();
    EXPECT_EQ(GetParam().exitCode, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(GetParam().says)) << run.output;
}
INSTANTIATE_TEST_SUITE_P(Cfxbrowse, Runs, testing::ValuesIn(kRuns));

} // namespace
