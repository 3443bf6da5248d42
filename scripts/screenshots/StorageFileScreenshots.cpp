#include "StorageFileScreenshots.h"

#include "Wizard.h"
#include "idl/cfxview_classes.h"

#include <commctrl.h>
#include <objbase.h>
#include <prsht.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace cfx::test {

namespace {

using Microsoft::WRL::ComPtr;

constexpr UINT kEndMenu = WM_APP;
// The library's items come after the shell's own identifiers.
constexpr UINT kFirstLibraryId = 0x8000;
constexpr UINT kManageKeyOffset = 4;

void complain(const wchar_t* what) {
    std::fwprintf(stderr, L"dialog_screenshots: %ls\n", what);
}

// Polls every 20 ms, for ten seconds at most.
template <class Test> bool waitFor(Test test) {
    for (int tries = 0; tries < 500; ++tries) {
        if (test())
            return true;
        Sleep(20);
    }
    return false;
}

DWORD runProgram(std::wstring commandLine) {
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// The file's parent folder and its item, as Explorer holds them.
struct ParentItem {
    ComPtr<IShellFolder> folder;
    PCUITEMID_CHILD child = nullptr;
    PIDLIST_ABSOLUTE absolute = nullptr;

    explicit ParentItem(const std::wstring& path) {
        if (SUCCEEDED(SHParseDisplayName(path.c_str(), nullptr, &absolute, 0, nullptr)))
            SHBindToParent(absolute, IID_PPV_ARGS(&folder), &child);
    }
    ~ParentItem() { ILFree(absolute); }
    ParentItem(const ParentItem&) = delete;
    ParentItem& operator=(const ParentItem&) = delete;

    template <class I> ComPtr<I> uiObject(HWND owner) const {
        ComPtr<I> object;
        PCUITEMID_CHILD items[] = {child};
        if (folder)
            folder->GetUIObjectOf(owner, 1, items, __uuidof(I), nullptr,
                                  reinterpret_cast<void**>(object.GetAddressOf()));
        return object;
    }
};

std::vector<HWND> visibleMenus() {
    std::vector<HWND> menus;
    EnumWindows(
        [](HWND window, LPARAM found) {
            wchar_t name[16] = L"";
            if (IsWindowVisible(window) && GetClassNameW(window, name, 16) &&
                lstrcmpW(name, L"#32768") == 0)
                reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&menus));
    return menus;
}

// The windows as the screen places them, on a plain background.
Picture composed(const std::vector<HWND>& windows) {
    constexpr int kMargin = 8;
    RECT all{};
    for (HWND window : windows) {
        RECT place{};
        GetWindowRect(window, &place);
        UnionRect(&all, &all, &place);
    }
    Picture picture;
    picture.width = all.right - all.left + 2 * kMargin;
    picture.height = all.bottom - all.top + 2 * kMargin;
    picture.pixels.assign(static_cast<size_t>(picture.width) * picture.height,
                          pictureColor(GetSysColor(COLOR_APPWORKSPACE)));
    for (HWND window : windows) {
        RECT place{};
        GetWindowRect(window, &place);
        const Picture part = captureWindow(window, true);
        for (int y = 0; y < part.height; ++y)
            for (int x = 0; x < part.width; ++x)
                picture
                    .pixels[static_cast<size_t>(y + place.top - all.top + kMargin) * picture.width +
                            (x + place.left - all.left + kMargin)] = part.at(x, y);
    }
    return picture;
}

LRESULT CALLBACK ownerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kEndMenu) {
        EndMenu();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The shell's menu for the file with the library's handler's items merged
// in below the shell's first item, its default verb, as Explorer builds it;
// tracked on a thread of its own.
struct MenuRun {
    std::wstring path;
    std::atomic<HWND> owner{nullptr};
    std::atomic<int> stepsToManageKey{0};
    std::atomic<bool> failed{false};

    void run() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        WNDCLASSW ownerClass{};
        ownerClass.lpfnWndProc = ownerProcedure;
        ownerClass.hInstance = GetModuleHandleW(nullptr);
        ownerClass.lpszClassName = L"CfxMenuOwner";
        RegisterClassW(&ownerClass);
        HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"CfxMenuOwner", L"", WS_POPUP, 0, 0, 1, 1,
                                      nullptr, nullptr, ownerClass.hInstance, nullptr);
        HMENU menu = CreatePopupMenu();
        {
            ParentItem item(path);
            auto shell = item.uiObject<IContextMenu>(window);
            auto data = item.uiObject<IDataObject>(window);
            ComPtr<IShellExtInit> handler;
            ComPtr<IContextMenu> handlerMenu;
            if (!shell || !data ||
                FAILED(CoCreateInstance(CLSID_StorageContextMenu, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(&handler))) ||
                FAILED(handler->Initialize(nullptr, data.Get(), nullptr)) ||
                FAILED(handler.As(&handlerMenu)) ||
                FAILED(shell->QueryContextMenu(menu, 0, 1, kFirstLibraryId - 1, CMF_NORMAL)) ||
                FAILED(
                    handlerMenu->QueryContextMenu(menu, 1, kFirstLibraryId, 0xBFFF, CMF_NORMAL))) {
                failed = true;
            } else {
                // The keyboard skips separators only.
                int steps = 0;
                for (int i = 0; i < GetMenuItemCount(menu); ++i) {
                    MENUITEMINFOW entry{sizeof entry, MIIM_FTYPE | MIIM_ID};
                    GetMenuItemInfoW(menu, i, TRUE, &entry);
                    if (entry.fType & MFT_SEPARATOR)
                        continue;
                    ++steps;
                    if (entry.wID == kFirstLibraryId + kManageKeyOffset)
                        stepsToManageKey = steps;
                }
                ShowWindow(window, SW_SHOWNOACTIVATE);
                SetForegroundWindow(window);
                owner = window;
                TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_LEFTALIGN | TPM_TOPALIGN, 40, 40, window,
                                 nullptr);
            }
        }
        DestroyMenu(menu);
        DestroyWindow(window);
        CoUninitialize();
    }
};

bool takeMenu(const std::wstring& path, const std::wstring& picture, const SavePicture& save) {
    MenuRun run;
    run.path = path;
    std::thread thread([&run] { run.run(); });
    bool ok = waitFor([&] { return run.owner || run.failed; }) && !run.failed &&
              run.stepsToManageKey > 0 && waitFor([] { return visibleMenus().size() == 1; });
    if (ok) {
        // The keys the user would press: down to "Manage key", right to open it.
        for (int i = 0; i < run.stepsToManageKey; ++i)
            PostMessageW(run.owner, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(run.owner, WM_KEYDOWN, VK_RIGHT, 0);
        ok = waitFor([] { return visibleMenus().size() == 2; });
        if (ok) {
            Sleep(200);
            const std::vector<HWND> menus = visibleMenus();
            for (HWND menu : menus)
                RedrawWindow(menu, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW);
            ok = save(composed(menus), picture);
        } else {
            complain(L"the \"Manage key\" sub-menu did not open");
        }
    } else {
        complain(L"the storage file's context menu did not show");
    }
    if (HWND owner = run.owner)
        PostMessageW(owner, kEndMenu, 0, 0);
    thread.join();
    return ok;
}

// The Properties dialog the shell's "properties" verb opens: modal on the
// invoking thread under Wine, on a thread of the shell's own on Windows.
HWND findSheet(const std::wstring& name) {
    struct Search {
        const std::wstring& name;
        HWND found;
    } search{name, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) {
            auto& s = *reinterpret_cast<Search*>(context);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t caption[300] = L"";
            GetWindowTextW(window, caption, 300);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
                std::wstring(caption).find(s.name) != std::wstring::npos &&
                PropSheet_GetTabControl(window))
                s.found = window;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool selectPage(HWND sheet, const wchar_t* title) {
    HWND tabs = PropSheet_GetTabControl(sheet);
    const int count = TabCtrl_GetItemCount(tabs);
    for (int i = 0; i < count; ++i) {
        wchar_t text[100] = L"";
        TCITEMW tab{};
        tab.mask = TCIF_TEXT;
        tab.pszText = text;
        tab.cchTextMax = 100;
        if (TabCtrl_GetItem(tabs, i, &tab) && lstrcmpW(text, title) == 0)
            return PropSheet_SetCurSel(sheet, nullptr, i);
    }
    return false;
}

bool takeProperties(const std::wstring& path, const std::wstring& picture,
                    const SavePicture& save) {
    std::atomic<bool> invoked{false};
    std::thread thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ParentItem item(path);
            if (auto menu = item.uiObject<IContextMenu>(nullptr)) {
                CMINVOKECOMMANDINFO invoke{sizeof invoke};
                invoke.lpVerb = "properties";
                invoke.nShow = SW_SHOWNORMAL;
                menu->InvokeCommand(&invoke);
            }
        }
        invoked = true;
        CoUninitialize();
    });
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    HWND sheet = nullptr;
    bool ok = waitFor([&] { return (sheet = findSheet(name)) != nullptr || invoked; }) && sheet;
    if (ok && selectPage(sheet, L"Coffrex tools")) {
        Sleep(300);
        RedrawWindow(sheet, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        ok = save(captureWindow(sheet, true), picture);
    } else {
        complain(ok ? L"the Properties dialog has no \"Coffrex tools\" page"
                    : L"the storage file's Properties dialog did not show");
        ok = false;
    }
    if (sheet)
        PropSheet_PressButton(sheet, PSBTN_CANCEL);
    thread.join();
    return ok;
}

} // namespace

std::wstring makeSampleStorage(HMODULE library, const std::wstring& name) {
    const std::wstring folder = programFolder();
    wchar_t temporary[MAX_PATH];
    std::wstring target(temporary, GetTempPathW(MAX_PATH, temporary));
    target += name;
    DeleteFileW(target.c_str());
    using Register = HRESULT(WINAPI*)();
    auto registerLibrary = reinterpret_cast<Register>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    const DWORD server = runProgram(L"\"" + folder + L"cfxstore.exe\" /RegServer");
    HRESULT registered = E_NOTIMPL;
    int made = -1;
    // Registration and the wizard both need COM on their thread.
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (registerLibrary)
            registered = registerLibrary();
        if (server == 0 && SUCCEEDED(registered))
            made = cfx::wizard::runWizard(
                {L"/silent", L"--pfx", folder + L"testkeys\\first.pfx", L"--attach", target});
        CoUninitialize();
    });
    worker.join();
    if (server != 0 || FAILED(registered)) {
        std::fwprintf(stderr,
                      L"dialog_screenshots: cannot register the storage server (exit code %lu) "
                      L"and the library (0x%08lX)\n",
                      server, static_cast<unsigned long>(registered));
        return {};
    }
    if (made != cfx::wizard::kMade) {
        complain(L"cannot make the sample storage");
        return {};
    }
    return target;
}

bool takeStorageFile(const std::wstring& path, const std::wstring& picturePrefix,
                     const SavePicture& save) {
    bool ok = takeMenu(path, picturePrefix + L"menu.png", save);
    return takeProperties(path, picturePrefix + L"properties.png", save) && ok;
}

} // namespace cfx::test
