#include "WizardScreenshots.h"

#include "Wizard.h"

#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace cfx::test {

namespace {

// The wizard thread's visible window other than previous, once previous has gone.
HWND waitForPage(DWORD thread, HWND previous) {
    for (int tries = 0; tries < 500; ++tries) {
        Sleep(20);
        if (previous && IsWindow(previous))
            continue;
        HWND found = nullptr;
        EnumThreadWindows(
            thread,
            [](HWND window, LPARAM result) {
                if (IsWindowVisible(window))
                    *reinterpret_cast<HWND*>(result) = window;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
        if (found)
            return found;
    }
    return nullptr;
}

} // namespace

std::wstring programFolder() {
    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    return path.erase(path.find_last_of(L'\\') + 1);
}

bool takeWizardPages(const std::wstring& folder, const SavePicture& save) {
    wchar_t temporary[MAX_PATH];
    std::wstring target(temporary, GetTempPathW(MAX_PATH, temporary));
    target += L"New Coffrex storage.demo-coffrex";
    DeleteFileW(target.c_str());
    const std::wstring keyFile = programFolder() + L"testkeys\\first.pfx";

    std::atomic<DWORD> wizardThread{0};
    std::thread wizard([&] {
        wizardThread = GetCurrentThreadId();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        cfx::wizard::runWizard({L"--pfx", keyFile, L"--attach", target});
        CoUninitialize();
    });
    while (!wizardThread)
        Sleep(5);

    const wchar_t* const pages[] = {L"key", L"options", L"confirm"};
    bool ok = true;
    HWND page = nullptr;
    for (size_t i = 0; i < 3; ++i) {
        page = waitForPage(wizardThread, page);
        if (!page) {
            std::fwprintf(stderr, L"dialog_screenshots: the wizard's %ls page did not show\n",
                          pages[i]);
            ok = false;
            break;
        }
        RedrawWindow(page, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        ok = save(captureWindow(page, true), folder + L"wizard-" + pages[i] + L".png") && ok;
        const int next = i + 1 < 3 ? IDOK : IDCANCEL;
        PostMessageW(page, WM_COMMAND, MAKEWPARAM(next, BN_CLICKED), 0);
    }
    if (!ok && page)
        PostMessageW(page, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    wizard.join();
    return ok;
}

} // namespace cfx::test
