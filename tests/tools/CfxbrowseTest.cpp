// cfxbrowse.exe as a user or a script runs it, in a real window on the test's
// X display: the shell's own view of the prefix's folders, double clicks, up
// and back, keys, pictures, files whose type is a folder class, and the
// command lines and paths it must refuse.
#include "common/Handles.h"
#include "support/LoadedLibrary.h"
#include "support/TestText.h"
#include "storeserver/ToolProcess.h"

#include <commctrl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <set>
#include <sstream>
#include <vector>

namespace {

using cfx::store::test::ToolProcess;
using cfx::store::test::ToolRun;
using cfx::test::narrow;
using Microsoft::WRL::ComPtr;

struct BrowseRun {
    DWORD exitCode = 0;
    std::string output;               // stdout and stderr together, UTF-8
    std::vector<std::string> folders; // the "folder: " lines, in order
};

std::wstring scratchPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

// cfxbrowse.exe with its output going to a file.
class Program {
public:
    explicit Program(const std::wstring& arguments) : process_(arguments, log_, L"cfxbrowse.exe") {}

    DWORD id() const { return process_.id(); }

    BrowseRun finish() {
        const ToolRun ran = process_.finish(GetTickCount64() + 240000);
        BrowseRun run{ran.exitCode, ran.output, {}};
        EXPECT_TRUE(ran.ended) << "cfxbrowse.exe did not end";
        std::istringstream lines(run.output);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("folder: ", 0) == 0)
                run.folders.push_back(line.substr(8));
        DeleteFileW(log_.c_str());
        return run;
    }

private:
    std::wstring log_ = scratchPath(L"cfxbrowse-output.txt");
    ToolProcess process_;
};

BrowseRun browse(const std::wstring& arguments) {
    return Program(arguments).finish();
}

using Folders = std::vector<std::string>;

// --- Steps in the window, on the prefix's own folders ---

struct StepCase {
    const wchar_t* arguments;
    Folders folders;
};

const StepCase kSteps[] = {
    {L"C:\\windows /open system32 /back", {"windows", "system32", "windows"}},
    {L"C:\\windows\\system32 /up /open SYSTEM32", {"system32", "windows", "system32"}},
    {L"C:\\windows /open system32 /open drivers /up /up /back",
     {"windows", "system32", "drivers", "system32", "windows", "system32"}},
    {L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D} /open C:\\ /open windows",
     {"My Computer", " (C:)", "windows"}},
};

class BrowseSteps : public testing::TestWithParam<StepCase> {};

TEST_P(BrowseSteps, ShowsEachFolderTheViewOpens) {
    BrowseRun run = browse(GetParam().arguments);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_EQ(GetParam().folders, run.folders) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Cfxbrowse, BrowseSteps, testing::ValuesIn(kSteps));

// --- Pictures ---

struct PictureFacts {
    UINT width = 0, height = 0;
    size_t colours = 0;
};

PictureFacts readPicture(const std::wstring& path) {
    PictureFacts facts;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&factory))) ||
        FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &frame)) ||
        FAILED(factory->CreateFormatConverter(&converter)) ||
        FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGR,
                                     WICBitmapDitherTypeNone, nullptr, 0,
                                     WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&facts.width, &facts.height)))
        return facts;
    std::vector<UINT> pixels(static_cast<size_t>(facts.width) * facts.height);
    if (SUCCEEDED(converter->CopyPixels(nullptr, facts.width * 4,
                                        static_cast<UINT>(pixels.size() * 4),
                                        reinterpret_cast<BYTE*>(pixels.data()))))
        facts.colours = std::set<UINT>(pixels.begin(), pixels.end()).size();
    return facts;
}

TEST(Cfxbrowse, PicturesTheDetailsViewOfEveryFolderItShows) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    const std::wstring first = scratchPath(L"windows.png"), second = scratchPath(L"system32.png");
    BrowseRun run = browse(L"C:\\windows /screenshot \"" + first +
                           L"\" /open system32 /screenshot \"" + second + L"\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    for (const std::wstring& path : {first, second}) {
        PictureFacts picture = readPicture(path);
        std::ostringstream size;
        size << picture.width << "x" << picture.height << ")";
        EXPECT_NE(std::string::npos, run.output.find(narrow(path) + " (" + size.str()))
            << run.output;
        // A blank or black window has a colour or two; the caption, the
        // column headers, the icons and the names give dozens.
        EXPECT_GT(picture.colours, 20u) << narrow(path);
        DeleteFileW(path.c_str());
    }
    CoUninitialize();
}

// --- Keys in the user's window ---

struct FoundWindow {
    DWORD process;
    HWND window;
};

BOOL CALLBACK findFrame(HWND window, LPARAM found) {
    auto* wanted = reinterpret_cast<FoundWindow*>(found);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[32] = L"";
    GetClassNameW(window, name, 32);
    if (process != wanted->process || lstrcmpW(name, L"CfxBrowseFrame") != 0)
        return TRUE;
    wanted->window = window;
    return FALSE;
}

// Waits (a minute at most) for the program's frame to show the title.
HWND frameTitled(DWORD process, const std::wstring& title) {
    for (int wait = 0; wait < 600; ++wait, Sleep(100)) {
        FoundWindow found{process, nullptr};
        EnumWindows(findFrame, reinterpret_cast<LPARAM>(&found));
        wchar_t text[64] = L"";
        if (found.window && GetWindowTextW(found.window, text, 64) && title == text)
            return found.window;
    }
    return nullptr;
}

// The list of the view the frame shows, where the user's keys go.
HWND listOf(HWND frame) {
    for (HWND view = nullptr; (view = FindWindowExW(frame, view, L"SHELLDLL_DefView", nullptr));)
        if (IsWindowVisible(view))
            return FindWindowExW(view, nullptr, WC_LISTVIEWW, nullptr);
    return frame;
}

TEST(Cfxbrowse, BackspaceGoesUpAndAltLeftGoesBack) {
    Program program(L"C:\\windows\\system32");
    HWND frame = frameTitled(program.id(), L"system32");
    ASSERT_TRUE(frame);
    PostMessageW(listOf(frame), WM_KEYDOWN, VK_BACK, 0);
    EXPECT_TRUE(frameTitled(program.id(), L"windows"));
    PostMessageW(listOf(frame), WM_SYSKEYDOWN, VK_LEFT, 1 << 29);
    EXPECT_TRUE(frameTitled(program.id(), L"system32"));
    PostMessageW(frame, WM_CLOSE, 0, 0);
    BrowseRun run = program.finish();
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_EQ((Folders{"system32", "windows", "system32"}), run.folders) << run.output;
}

// --- Files whose type is a folder class ---

// The file system's own folder class stands in for a folder class that
// lives in a DLL: created for a file, it shows an empty folder.
const wchar_t kFileSystemFolder[] = L"{F3364BA0-65B9-11CE-A9BA-00AA004AE837}";
const wchar_t kUnregisteredClass[] = L"{0E5A1B36-0B5C-4D8E-9C41-6E2A4F0D7B11}";

struct TypeCase {
    const char* title;
    const wchar_t* folderClass;
    bool throughCurVer;
    bool shellFolderKey;
    DWORD exitCode;
    const char* says;
};

const TypeCase kTypes[] = {
    {"ProgIdNamesAFolderClass", kFileSystemFolder, false, true, 0, "folder: box"},
    {"CurVerNamesAFolderClass", kFileSystemFolder, true, true, 0, "folder: box"},
    {"ClassWithoutShellFolderKey", kUnregisteredClass, false, false, 1, "is not a folder"},
    {"FolderClassNotRegistered", kUnregisteredClass, false, true, 1,
     "creating the folder object for"},
};

void setDefault(const std::wstring& key, const std::wstring& value) {
    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &opened, nullptr));
    if (!value.empty())
        RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
}

class FolderClassFile : public testing::TestWithParam<TypeCase> {
protected:
    void SetUp() override {
        const TypeCase& type = GetParam();
        setDefault(L".cfxbrowse-test", L"CfxBrowse.Test");
        if (type.throughCurVer) {
            setDefault(L"CfxBrowse.Test\\CurVer", L"CfxBrowse.Test.1");
            setDefault(L"CfxBrowse.Test.1\\CLSID", type.folderClass);
        } else {
            setDefault(L"CfxBrowse.Test\\CLSID", type.folderClass);
        }
        HKEY existing = nullptr;
        shellFolderKey_ = std::wstring(L"CLSID\\") + type.folderClass + L"\\ShellFolder";
        madeShellFolderKey_ =
            type.shellFolderKey && RegOpenKeyExW(HKEY_CLASSES_ROOT, shellFolderKey_.c_str(), 0,
                                                 KEY_READ, &existing) != ERROR_SUCCESS;
        if (existing)
            RegCloseKey(existing);
        if (madeShellFolderKey_)
            setDefault(shellFolderKey_, L"");
        CreateDirectoryW(folder_.c_str(), nullptr);
        cfx::FileHandle file(
            CreateFileW(box_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    void TearDown() override {
        DeleteFileW(box_.c_str());
        RemoveDirectoryW(folder_.c_str());
        for (const wchar_t* key : {L".cfxbrowse-test", L"CfxBrowse.Test", L"CfxBrowse.Test.1"})
            RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
        if (madeShellFolderKey_)
            RegDeleteTreeW(HKEY_CLASSES_ROOT, shellFolderKey_.c_str());
    }

    const std::wstring folder_ = scratchPath(L"cfxbrowse");
    const std::wstring box_ = folder_ + L"\\box.cfxbrowse-test";
    std::wstring shellFolderKey_;
    bool madeShellFolderKey_ = false;
};

TEST_P(FolderClassFile, OpensAsItsFolderClassOrSaysWhyNot) {
    const TypeCase& type = GetParam();
    const std::wstring picture = scratchPath(L"box.png");
    BrowseRun direct = browse(L"\"" + box_ + L"\" /screenshot \"" + picture + L"\"");
    DeleteFileW(picture.c_str());
    EXPECT_EQ(type.exitCode, direct.exitCode) << direct.output;
    EXPECT_NE(std::string::npos, direct.output.find(type.says)) << direct.output;

    // Double-clicked in its folder's view; up and back return through it.
    BrowseRun fromFolder = browse(L"\"" + folder_ + L"\" /open box.cfxbrowse-test /up /back");
    EXPECT_EQ(type.exitCode, fromFolder.exitCode) << fromFolder.output;
    EXPECT_NE(std::string::npos, fromFolder.output.find(type.says)) << fromFolder.output;
    if (type.exitCode == 0) {
        ASSERT_EQ(4u, fromFolder.folders.size()) << fromFolder.output;
        EXPECT_EQ("cfxbrowse", fromFolder.folders[2]);
        EXPECT_EQ(fromFolder.folders[1], fromFolder.folders[3]);
    }
}

INSTANTIATE_TEST_SUITE_P(Cfxbrowse, FolderClassFile, testing::ValuesIn(kTypes),
                         [](const auto& test) { return std::string(test.param.title); });

// --- Bad input ---

struct RefusalCase {
    const wchar_t* arguments;
    DWORD exitCode;
    const char* says;
};

const RefusalCase kRefusals[] = {
    {L"", 2, "no folder given"},
    {L"C:\\windows /zoom", 2, "unknown option /zoom"},
    {L"C:\\windows /open", 2, "/open needs a value"},
    {L"C:\\windows C:\\users", 2, "one folder only"},
    {L"C:\\nowhere\\at\\all", 1, "opening \"C:\\nowhere\\at\\all\""},
    {L"C:\\windows\\win.ini", 1, "\"C:\\windows\\win.ini\" is not a folder"},
    {L"C:\\windows /open nothing-here", 1, "there is no item \"nothing-here\" in \"windows\""},
    {L"C:\\windows /open win.ini", 1, "\"win.ini\" is not a folder"},
    {L"C:\\windows /back", 1, "there is no folder to go back to"},
    {L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D} /up /up", 1, "has no parent folder"},
    {L"C:\\windows /screenshot C:\\nowhere\\picture.png", 1,
     "taking a picture into \"C:\\nowhere\\picture.png\""},
};

class Refusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, SayWhatWasWrongAndExitWithItsCode) {
    BrowseRun run = browse(GetParam().arguments);
    EXPECT_EQ(GetParam().exitCode, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(GetParam().says)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Cfxbrowse, Refusals, testing::ValuesIn(kRefusals));

} // namespace
