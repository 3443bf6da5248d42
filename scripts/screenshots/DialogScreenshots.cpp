// dialog_screenshots.exe FOLDER: opens every dialog of this subsystem the way
// the library does - the progress dialog of each kind and the wait dialogs of
// analysis and defragmentation in both variants, the password prompt, the list
// of corrupted files and a storage item's Properties in both variants - the
// pages of the "New" wizard (cfxwiz), and a storage file's context menu and
// Properties dialog in both variants, and writes a PNG picture of each
// into FOLDER.
// scripts/screenshots.sh runs it under Wine and Xvfb.
//
// dialog_screenshots.exe --storage-file PATH FOLDER: only the context menu and
// the Properties dialog of the storage at PATH, with the storage server and
// the library already registered (the main job's pictures).
//
// The modern dialogs are taken in this run (Wine reports Windows 7); the
// classic ones in a second run of this program that Wine tells it is Windows
// XP (see WindowsXpRun.h), started with --classic.
#include "ui/WindowCapture.h"
#include "ui/WindowsXpRun.h"
#include "StorageFileScreenshots.h"
#include "WizardScreenshots.h"

#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "module/Module.h"
#include "transfer/ItemPropertySheet.h"
#include "ui/CorruptedFilesDialog.h"
#include "ui/PromptKeyPassword.h"
#include "ui/WaitDialog.h"
#include "ui/dialog_ids.h"
#include "ui/resource.h"

#include <commctrl.h>
#include <prsht.h>
#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using cfx::test::Picture;

// --- PNG: 8-bit RGB, the image data in stored (uncompressed) deflate blocks ---

std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void putBigEndian(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

void putChunk(std::vector<unsigned char>& file, const char* type,
              const std::vector<unsigned char>& data) {
    putBigEndian(file, static_cast<std::uint32_t>(data.size()));
    std::vector<unsigned char> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    file.insert(file.end(), typed.begin(), typed.end());
    putBigEndian(file, crc32(typed.data(), typed.size()));
}

// A zlib stream of stored blocks.
std::vector<unsigned char> storedZlib(const std::vector<unsigned char>& raw) {
    std::vector<unsigned char> out = {0x78, 0x01};
    std::size_t at = 0;
    do {
        std::size_t size = std::min<std::size_t>(raw.size() - at, 0xFFFF);
        bool last = at + size == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<unsigned char>(size & 0xFF));
        out.push_back(static_cast<unsigned char>(size >> 8));
        out.push_back(static_cast<unsigned char>(~size & 0xFF));
        out.push_back(static_cast<unsigned char>((~size >> 8) & 0xFF));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                   raw.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian(out, (b << 16) | a);
    return out;
}

bool writePng(const Picture& picture, const std::wstring& path) {
    std::vector<unsigned char> raw;
    raw.reserve(static_cast<std::size_t>(picture.height) * (1 + 3 * picture.width));
    for (int y = 0; y < picture.height; ++y) {
        raw.push_back(0); // no filter
        for (int x = 0; x < picture.width; ++x) {
            std::uint32_t pixel = picture.at(x, y);
            raw.push_back(static_cast<unsigned char>(pixel >> 16));
            raw.push_back(static_cast<unsigned char>(pixel >> 8));
            raw.push_back(static_cast<unsigned char>(pixel));
        }
    }
    std::vector<unsigned char> header;
    putBigEndian(header, static_cast<std::uint32_t>(picture.width));
    putBigEndian(header, static_cast<std::uint32_t>(picture.height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, no interlace

    std::vector<unsigned char> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    putChunk(file, "IHDR", header);
    putChunk(file, "IDAT", storedZlib(raw));
    putChunk(file, "IEND", {});

    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out)
        return false;
    bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}

// --- The dialogs ---

struct KindTexts {
    const wchar_t* title;
    const wchar_t* line1;
    const wchar_t* line2;
    const wchar_t* header;
};

// Texts like the ones the library's operations show, per kind.
const KindTexts kTexts[] = {
    {L"Copying...", L"Copying 'report.txt'", L"1 item remaining", L"Copying 1 item"},
    {L"Copying...", L"Copying 'photos\\beach.jpg'", L"12 items remaining", L"Copying 14 items"},
    {L"Moving...", L"Moving 'report.txt'", L"1 item remaining", L"Moving 1 item"},
    {L"Moving...", L"Moving 'photos\\beach.jpg'", L"12 items remaining", L"Moving 14 items"},
    {L"Deleting", L"Deleting 'report.txt'", L"1 item remaining", L"Deleting 1 item"},
    {L"Deleting", L"Deleting 'beach.jpg'", L"3 items remaining", L"Deleting 3 items"},
    {L"Checking integrity", L"Checking 'report.txt'", L"1 item remaining", L"Checking 1 item"},
    {L"Checking integrity", L"Checking 'beach.jpg'", L"12 items remaining", L"Checking 14 items"},
};

std::wstring folderPath(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    return folder;
}

bool save(const Picture& picture, const std::wstring& path) {
    if (picture.width <= 0 || !writePng(picture, path)) {
        std::fwprintf(stderr, L"dialog_screenshots: cannot take %ls\n", path.c_str());
        return false;
    }
    std::wprintf(L"%ls (%dx%d)\n", path.c_str(), picture.width, picture.height);
    return true;
}

// Paints the whole window, frame and children, now.
void repaint(HWND window) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

bool takeProgressDialogs(HMODULE library, const std::wstring& folder, const wchar_t* variant) {
    bool ok = true;
    for (std::uint32_t kind = cfx::ui::CopySingle; kind <= cfx::ui::CheckMany; ++kind) {
        const KindTexts& texts = kTexts[kind];
        cfx::ui::ProgressDialogParams params;
        params.module = library;
        params.kind = kind;
        params.icon = cfx::ui::IconHandle::fromResource(library, 1);
        params.title = texts.title;
        params.line1 = texts.line1;
        params.line2 = texts.line2;
        params.header = texts.header;
        auto host = cfx::ui::ProgressDialogHost::create(params);
        HWND window = host->window();
        std::wstring path =
            folder + L"progress-" + variant + L"-kind" + std::to_wstring(kind) + L".png";
        if (!window) {
            std::fwprintf(stderr, L"dialog_screenshots: no window for %ls\n", path.c_str());
            ok = false;
            continue;
        }
        host->dialog()->SetRange(0, 100);
        host->dialog()->SetPos(40);
        // A still frame; the header (modern) is drawn over it when it paints.
        SendMessageW(GetDlgItem(window, IDC_PROGRESS_ANIMATION), ACM_STOP, 0, 0);
        repaint(window);
        host->dialog()->SetHeader(texts.header);
        ok = save(cfx::test::captureWindow(window, true), path) && ok;
    }
    return ok;
}

// The prompt is modal: it runs on a thread of its own while this one waits
// for it to show, fills it in, takes it and cancels it.
bool takePasswordPrompt(HMODULE library, const std::wstring& folder) {
    std::atomic<DWORD> promptThread{0};
    std::thread prompt([library, &promptThread] {
        promptThread = GetCurrentThreadId();
        std::wstring password;
        cfx::ui::PromptKeyPassword(library, nullptr, password);
    });
    while (!promptThread)
        Sleep(5);
    HWND dialog = cfx::test::waitForPage(promptThread);
    bool ok = false;
    if (dialog) {
        SetDlgItemTextW(dialog, IDC_INPUT_PASSWORD, L"secret");
        repaint(dialog);
        ok = save(cfx::test::captureWindow(dialog, true), folder + L"input-password.png");
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
        std::fwprintf(stderr, L"dialog_screenshots: the password prompt did not show\n");
    }
    prompt.join();
    return ok;
}

// A modal dialog run on a thread of its own: once its window shows, it is
// taken and closed with close (a message posted to it).
bool takeModal(const std::function<void()>& run, const std::wstring& path, UINT close,
               WPARAM closeParameter) {
    std::atomic<DWORD> runThread{0};
    std::thread runner([&] {
        runThread = GetCurrentThreadId();
        try {
            run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "dialog_screenshots: %s\n", e.what());
        }
    });
    while (!runThread)
        Sleep(1);
    HWND dialog = cfx::test::waitForPage(runThread);
    bool ok = false;
    if (dialog) {
        Sleep(100);
        repaint(dialog);
        ok = save(cfx::test::captureWindow(dialog, true), path);
        PostMessageW(dialog, close, closeParameter, 0);
    } else {
        std::fwprintf(stderr, L"dialog_screenshots: %ls did not show\n", path.c_str());
    }
    runner.join();
    return ok;
}

// The list of corrupted files and a storage item's Properties sheet.
bool takeItemDialogs(HMODULE library, const std::wstring& folder, const wchar_t* variant) {
    bool ok = takeModal(
        [library] {
            cfx::ui::ShowCorruptedFiles({{0, L"report.txt"}, {0, L"beach.jpg"}, {1, L"notes.doc"}},
                                        library, nullptr, nullptr, nullptr);
        },
        folder + L"corrupted-files-" + variant + L".png", WM_COMMAND, IDC_CORRUPTED_CLOSE);
    ok = takeModal(
             [library] {
                 cfx::transfer::ItemPageData data;
                 data.isFile = true;
                 data.name = L"report.txt";
                 data.typeText = L"Text Document";
                 data.size = 1234567;
                 data.comment = L"Quarterly figures, checked by the auditors.";
                 data.icon = cfx::ui::IconHandle::fromResource(library, IDI_DOCUMENT);
                 cfx::transfer::showItemPropertySheet(data, nullptr);
             },
             folder + L"item-properties-" + variant + L".png", PSM_PRESSBUTTON, PSBTN_CANCEL) &&
         ok;
    return ok;
}

// The wait dialogs of analysis and defragmentation, each taken by its own
// handler once it shows, with a still frame of its animation.
struct WaitShot {
    std::wstring path;
    bool ok = false;
};

INT_PTR waitShotHandler(HWND dialog, UINT message, WPARAM, LPARAM, void* context) {
    if (message == WM_INITDIALOG) {
        PostMessageW(dialog, WM_APP, 0, 0);
        return TRUE;
    }
    if (message != WM_APP)
        return FALSE;
    auto& shot = *static_cast<WaitShot*>(context);
    // The dialog manager shows the dialog only once its queue is empty.
    ShowWindow(dialog, SW_SHOW);
    SendDlgItemMessageW(dialog, IDC_WAIT_ANIMATION, ACM_STOP, 0, 0);
    repaint(dialog);
    shot.ok = save(cfx::test::captureWindow(dialog, true), shot.path);
    EndDialog(dialog, 0);
    return TRUE;
}

bool takeWaitDialogs(HMODULE library, const std::wstring& folder, const wchar_t* variant) {
    const struct {
        const wchar_t* name;
        const wchar_t* title;
        const wchar_t* text;
        WORD clip;
    } dialogs[] = {
        {L"analysis", L"Analysis in progress",
         L"Please wait several minutes until analysis process will finish...", IDR_AVI_ANALYSE},
        {L"defragmentation", L"Defragmentation is in progress...",
         L"Please wait several minutes until defragmentation will finish...", IDR_AVI_DEFRAGMENT},
    };
    bool ok = true;
    for (const auto& d : dialogs) {
        WaitShot shot{folder + L"wait-" + d.name + L"-" + variant + L".png"};
        try {
            cfx::ui::WaitDialog(nullptr,
                                {d.title, d.text, d.clip, library, &waitShotHandler, &shot});
        } catch (const std::exception& e) {
            std::fprintf(stderr, "dialog_screenshots: no wait dialog: %s\n", e.what());
        }
        ok = shot.ok && ok;
    }
    return ok;
}

// A storage of its own for each variant, made in this run's prefix.
bool takeStorageFileIn(HMODULE library, const std::wstring& folder, const wchar_t* variant) {
    const std::wstring path = cfx::test::makeSampleStorage(
        library, L"Sample " + std::wstring(variant) + L".demo-coffrex");
    return !path.empty() &&
           cfx::test::takeStorageFile(path, folder + L"storage-" + variant + L"-", save);
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool classic = argc == 3 && std::wstring(argv[1]) == L"--classic";
    bool storageFile = argc == 4 && std::wstring(argv[1]) == L"--storage-file";
    if (argc != 2 && !classic && !storageFile) {
        std::fwprintf(stderr, L"usage: dialog_screenshots FOLDER\n"
                              L"       dialog_screenshots --storage-file PATH FOLDER\n");
        return 2;
    }
    std::wstring given = argv[argc - 1];
    while (given.size() > 1 && (given.back() == L'\\' || given.back() == L'/'))
        given.pop_back();
    std::wstring folder = folderPath(given);
    CreateDirectoryW(folder.c_str(), nullptr);

    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring programFolder(self, length);
    programFolder.erase(programFolder.find_last_of(L'\\') + 1);
    HMODULE library = LoadLibraryW((programFolder + L"cfxview.dll").c_str());
    if (!library) {
        std::fwprintf(stderr, L"dialog_screenshots: cannot load cfxview.dll\n");
        return 1;
    }
    // The wait dialog comes from the library's own module.
    cfx::module::attach(library);
    if (storageFile)
        return cfx::test::takeStorageFile(argv[2], folder + L"storage-", save) ? 0 : 1;

    DWORD major = cfx::test::reportedMajorVersion();
    if (classic) {
        if (major != 5) {
            std::fwprintf(stderr, L"dialog_screenshots: Windows %lu, not XP\n", major);
            return 1;
        }
        bool ok = takeProgressDialogs(library, folder, L"classic");
        ok = takeItemDialogs(library, folder, L"classic") && ok;
        ok = takeWaitDialogs(library, folder, L"classic") && ok;
        return takeStorageFileIn(library, folder, L"classic") && ok ? 0 : 1;
    }

    bool ok = takeProgressDialogs(library, folder, L"modern");
    ok = takeWaitDialogs(library, folder, L"modern") && ok;
    ok = takeItemDialogs(library, folder, L"modern") && ok;
    ok = takePasswordPrompt(library, folder) && ok;
    ok = cfx::test::takeWizardPages(folder, save) && ok;
    ok = takeStorageFileIn(library, folder, L"modern") && ok;
    std::string problem;
    long code = cfx::test::runAgainAsWindowsXp(L"--classic \"" + given + L"\"", problem);
    if (code != 0) {
        std::fprintf(stderr, "dialog_screenshots: the classic run failed %s\n", problem.c_str());
        ok = false;
    }
    return ok ? 0 : 1;
}
