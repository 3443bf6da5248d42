#include "Script.h"

#include "Report.h"
#include "WindowPicture.h"

#include <commctrl.h>

using Microsoft::WRL::ComPtr;

namespace cfxbrowse {

namespace {

// A view counts as filled when its item count has stayed the same over this
// many quiet spells of the message queue (the shell's view fills itself on a
// thread of its own on Windows, at once on Wine), or after the last spell.
constexpr DWORD kSpellMs = 100;
constexpr int kQuietSpells = 3;
constexpr int kMostSpells = 150;

// Runs what the queue holds; raises a described error when the window has gone.
void pump(BrowserFrame& frame) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            throw cfx::DescribedError(E_ABORT, L"the window was closed");
        }
        if (!frame.translate(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void waitUntilFilled(BrowserFrame& frame) {
    ComPtr<IFolderView> folderView;
    frame.view()->QueryInterface(IID_PPV_ARGS(&folderView));
    int last = -1;
    for (int spell = 0, quiet = 0; spell < kMostSpells && quiet < kQuietSpells; ++spell) {
        pump(frame);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kSpellMs, QS_ALLINPUT);
        int count = -1;
        if (folderView)
            folderView->ItemCount(SVGIO_ALLVIEW, &count);
        quiet = count == last ? quiet + 1 : 0;
        last = count;
    }
}

bool sameName(const std::wstring& left, const std::wstring& right) {
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// A double click on the item in the view's list, as the mouse gives it.
bool doubleClick(HWND viewWindow, int index) {
    HWND list = FindWindowExW(viewWindow, nullptr, WC_LISTVIEWW, nullptr);
    RECT item{};
    item.left = LVIR_LABEL;
    if (!list || !SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(index),
                               reinterpret_cast<LPARAM>(&item)))
        return false;
    LPARAM point = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, point);
    SendMessageW(list, WM_LBUTTONUP, 0, point);
    return true;
}

void openItem(BrowserFrame& frame, const std::wstring& name) {
    const std::wstring action = L"opening " + quoted(name);
    ComPtr<IFolderView> folderView;
    check(frame.view()->QueryInterface(IID_PPV_ARGS(&folderView)), action);
    int count = 0;
    check(folderView->ItemCount(SVGIO_ALLVIEW, &count), action);
    IShellFolder* folder = frame.location().folder.Get();
    int found = -1;
    ItemIdList item;
    for (int index = 0; index < count && found < 0; ++index) {
        PITEMID_CHILD raw = nullptr;
        if (FAILED(folderView->Item(index, &raw)))
            continue;
        ItemIdList candidate(raw);
        for (SHGDNF flags : {SHGDNF{SHGDN_INFOLDER}, SHGDNF{SHGDN_INFOLDER | SHGDN_FORPARSING}}) {
            if (found < 0 && sameName(itemName(folder, candidate.get(), flags), name)) {
                found = index;
                item = std::move(candidate);
            }
        }
    }
    if (found < 0)
        throw cfx::DescribedError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                                  L"there is no item " + quoted(name) + L" in " +
                                      quoted(frame.location().name));
    if (!opensAsFolder(frame.location(), item.get()))
        throw cfx::DescribedError(HRESULT_FROM_WIN32(ERROR_DIRECTORY),
                                  quoted(name) + L" is not a folder");

    check(folderView->SelectItem(found, SVSI_SELECT | SVSI_DESELECTOTHERS | SVSI_FOCUSED |
                                            SVSI_ENSUREVISIBLE),
          action);
    const unsigned before = frame.navigations();
    // A view without a list control gets the default command the way its
    // list would hand it over.
    if (!doubleClick(frame.viewWindow(), found))
        frame.OnDefaultCommand(frame.view());
    pump(frame);
    if (frame.navigations() == before)
        throw cfx::DescribedError(E_FAIL, L"double-clicking " + quoted(name) + L" did not open it");
}

void takePicture(BrowserFrame& frame, const std::wstring& file) {
    wchar_t path[MAX_PATH];
    DWORD length = GetFullPathNameW(file.c_str(), MAX_PATH, path, nullptr);
    if (!length || length >= MAX_PATH)
        fail(L"taking a picture into " + quoted(file), HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
    RedrawWindow(frame.window(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    pump(frame);
    SIZE size = saveWindowPicture(frame.window(), path);
    writeLine(Channel::Out, L"picture: " + std::wstring(path) + L" (" + std::to_wstring(size.cx) +
                                L"x" + std::to_wstring(size.cy) + L")");
}

void runStep(BrowserFrame& frame, const Step& step) {
    waitUntilFilled(frame);
    switch (step.kind) {
    case Step::Kind::Open:
        openItem(frame, step.argument);
        break;
    case Step::Kind::Up:
        frame.browse(nullptr, SBSP_PARENT);
        break;
    case Step::Kind::Back:
        frame.browse(nullptr, SBSP_NAVIGATEBACK);
        break;
    case Step::Kind::Screenshot:
        takePicture(frame, step.argument);
        break;
    }
}

void close(BrowserFrame& frame) {
    if (frame.window())
        DestroyWindow(frame.window());
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
}

} // namespace

void runWindow(BrowserFrame& frame) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!frame.translate(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void runScript(BrowserFrame& frame, const std::vector<Step>& steps) {
    try {
        for (const Step& step : steps)
            runStep(frame, step);
    } catch (...) {
        close(frame);
        throw;
    }
    close(frame);
}

} // namespace cfxbrowse
