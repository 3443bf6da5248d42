#include "BrowserFrame.h"

#include "Report.h"

#include <commctrl.h>
#include <shlguid.h>

// mingw-w64's shlobj.h declares IShellFolderView without its identifier.
__CRT_UUID_DECL(IShellFolderView, 0x37a378c0, 0xf82d, 0x11ce, 0xae, 0x65, 0x08, 0x00, 0x2b, 0x2e,
                0x12, 0x62)

using Microsoft::WRL::ComPtr;

namespace cfxbrowse {

namespace {

constexpr wchar_t kClassName[] = L"CfxBrowseFrame";
constexpr UINT kRetireViews = WM_APP + 1;
// The shell's "which IShellBrowser owns this window" message (the SDK's
// CWM_GETISHELLBROWSER, missing from mingw-w64's headers); the answer
// carries no reference.
constexpr UINT kGetShellBrowser = WM_USER + 7;

enum Command : int { kBack = 100, kUp = 101 };

struct ToolbarButton {
    Command command;
    const wchar_t* text;
};
const ToolbarButton kButtons[] = {{kBack, L"Back"}, {kUp, L"Up"}};

bool isEditBox(HWND window) {
    wchar_t name[16] = L"";
    return window && GetClassNameW(window, name, 16) && lstrcmpiW(name, L"Edit") == 0;
}

} // namespace

BrowserFrame::BrowserFrame() {
    addExtraInterface(IID_IOleWindow, static_cast<IShellBrowser*>(this));
}

ComPtr<BrowserFrame> BrowserFrame::create(FolderLocation start) {
    ComPtr<BrowserFrame> frame = cfx::adopt(new BrowserFrame());
    frame->makeWindow();
    try {
        frame->show(std::move(start), false);
    } catch (...) {
        DestroyWindow(frame->window_);
        throw;
    }
    return frame;
}

void BrowserFrame::makeWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        fail(L"making the browser window", HRESULT_FROM_WIN32(GetLastError()));
    if (!CreateWindowExW(0, kClassName, L"cfxbrowse", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                         CW_USEDEFAULT, CW_USEDEFAULT, 900, 600, nullptr, nullptr, instance, this))
        fail(L"making the browser window", HRESULT_FROM_WIN32(GetLastError()));

    toolbar_ = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr,
                               WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_LIST | CCS_TOP, 0, 0,
                               0, 0, window_, nullptr, instance, nullptr);
    if (!toolbar_)
        fail(L"making the browser window", HRESULT_FROM_WIN32(GetLastError()));
    SendMessageW(toolbar_, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageW(toolbar_, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_MIXEDBUTTONS);
    for (const ToolbarButton& button : kButtons) {
        TBBUTTON added{};
        added.iBitmap = I_IMAGENONE;
        added.idCommand = button.command;
        added.fsStyle = BTNS_BUTTON | BTNS_AUTOSIZE | BTNS_SHOWTEXT;
        added.iString = reinterpret_cast<INT_PTR>(button.text);
        SendMessageW(toolbar_, TB_ADDBUTTONSW, 1, reinterpret_cast<LPARAM>(&added));
    }
    SendMessageW(toolbar_, TB_AUTOSIZE, 0, 0);
    ShowWindow(window_, SW_SHOW);
}

LRESULT CALLBACK BrowserFrame::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* frame =
            static_cast<BrowserFrame*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        frame->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(frame));
    }
    auto* frame = reinterpret_cast<BrowserFrame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!frame)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        frame->window_ = nullptr;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return frame->onMessage(message, wParam, lParam);
}

LRESULT BrowserFrame::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        layOut();
        return 0;
    case WM_SETFOCUS:
        if (viewWindow_)
            SetFocus(viewWindow_);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kBack)
            BrowseObject(nullptr, SBSP_NAVIGATEBACK);
        else if (LOWORD(wParam) == kUp)
            BrowseObject(nullptr, SBSP_PARENT);
        return 0;
    case kGetShellBrowser:
        return reinterpret_cast<LRESULT>(static_cast<IShellBrowser*>(this));
    case kRetireViews:
        retireViews();
        return 0;
    case WM_DESTROY:
        closeView();
        retireViews();
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

RECT BrowserFrame::viewArea() const {
    RECT area{}, bar{};
    GetClientRect(window_, &area);
    GetWindowRect(toolbar_, &bar);
    area.top += bar.bottom - bar.top;
    if (area.bottom < area.top)
        area.bottom = area.top;
    return area;
}

void BrowserFrame::layOut() {
    if (toolbar_)
        SendMessageW(toolbar_, TB_AUTOSIZE, 0, 0);
    if (viewWindow_) {
        RECT area = viewArea();
        MoveWindow(viewWindow_, area.left, area.top, area.right - area.left, area.bottom - area.top,
                   TRUE);
    }
}

void BrowserFrame::updateButtons() {
    SendMessageW(toolbar_, TB_ENABLEBUTTON, kBack, MAKELPARAM(!history_.empty(), 0));
    SendMessageW(toolbar_, TB_ENABLEBUTTON, kUp,
                 MAKELPARAM(!ILIsEmpty(location_.absolute.get()), 0));
}

void BrowserFrame::show(FolderLocation next, bool remember) {
    ComPtr<IShellView> view;
    check(next.folder->CreateViewObject(window_, IID_PPV_ARGS(&view)),
          L"asking " + quoted(next.name) + L" for its view");
    FOLDERSETTINGS settings{FVM_DETAILS, 0};
    RECT area = viewArea();
    HWND viewWindow = nullptr;
    check(view->CreateViewWindow(view_.Get(), &settings, this, &area, &viewWindow),
          L"showing " + quoted(next.name));

    if (view_) {
        view_->UIActivate(SVUIA_DEACTIVATE);
        ShowWindow(viewWindow_, SW_HIDE);
        retired_.push_back(std::move(view_));
        PostMessageW(window_, kRetireViews, 0, 0);
    }
    if (remember)
        history_.push_back(std::move(location_.absolute));
    location_ = std::move(next);
    view_ = std::move(view);
    viewWindow_ = viewWindow;
    view_->UIActivate(SVUIA_ACTIVATE_FOCUS);
    SetFocus(viewWindow_);
    SetWindowTextW(window_, location_.name.c_str());
    updateButtons();
    ++navigations_;
    writeLine(Channel::Out, L"folder: " + location_.name);
}

void BrowserFrame::retireViews() {
    for (ComPtr<IShellView>& view : retired_)
        view->DestroyViewWindow();
    retired_.clear();
}

void BrowserFrame::closeView() {
    if (!view_)
        return;
    view_->UIActivate(SVUIA_DEACTIVATE);
    view_->DestroyViewWindow();
    view_.Reset();
    viewWindow_ = nullptr;
}

void BrowserFrame::browse(PCUIDLIST_RELATIVE list, UINT flags) {
    if (flags & SBSP_NAVIGATEBACK) {
        if (history_.empty())
            throw cfx::DescribedError(E_FAIL, L"there is no folder to go back to");
        FolderLocation previous = openAbsolute(history_.back().get());
        history_.pop_back();
        show(std::move(previous), false);
        return;
    }
    if (flags & SBSP_NAVIGATEFORWARD)
        throw cfx::DescribedError(E_NOTIMPL, L"going forward is not offered");
    FolderLocation next;
    if (flags & SBSP_PARENT) {
        if (ILIsEmpty(location_.absolute.get()))
            throw cfx::DescribedError(E_FAIL, quoted(location_.name) + L" has no parent folder");
        ItemIdList parent = cloneList(location_.absolute.get());
        ILRemoveLastID(parent.get());
        next = openAbsolute(parent.get());
    } else if (!list) {
        throw cfx::DescribedError(E_INVALIDARG, L"no folder to go to");
    } else if (flags & SBSP_RELATIVE) {
        next = openRelative(location_, list);
    } else {
        next = openAbsolute(list);
    }
    show(std::move(next), true);
}

bool BrowserFrame::translate(MSG& message) {
    if ((message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) &&
        !isEditBox(GetFocus())) {
        const bool alt = message.message == WM_SYSKEYDOWN;
        if (!alt && message.wParam == VK_BACK) {
            if (!ILIsEmpty(location_.absolute.get()))
                BrowseObject(nullptr, SBSP_PARENT);
            return true;
        }
        if (alt && message.wParam == VK_LEFT) {
            if (!history_.empty())
                BrowseObject(nullptr, SBSP_NAVIGATEBACK);
            return true;
        }
        if (!alt && message.wParam == VK_F5 && view_) {
            view_->Refresh();
            return true;
        }
    }
    return view_ && view_->TranslateAccelerator(&message) == S_OK;
}

// --- IOleWindow ---

STDMETHODIMP BrowserFrame::GetWindow(HWND* window) {
    if (!window)
        return E_POINTER;
    *window = window_;
    return window_ ? S_OK : E_FAIL;
}

STDMETHODIMP BrowserFrame::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

// --- IShellBrowser: the frame has no menu bar, no status bar and no
// toolbar a view may add to ---

STDMETHODIMP BrowserFrame::InsertMenusSB(HMENU, LPOLEMENUGROUPWIDTHS) {
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::SetMenuSB(HMENU, HOLEMENU, HWND) {
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::RemoveMenusSB(HMENU) {
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::SetStatusTextSB(LPCWSTR) {
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::EnableModelessSB(BOOL) {
    return S_OK;
}

STDMETHODIMP BrowserFrame::TranslateAcceleratorSB(MSG*, WORD) {
    return S_FALSE;
}

STDMETHODIMP BrowserFrame::BrowseObject(PCUIDLIST_RELATIVE list, UINT flags) {
    try {
        browse(list, flags);
        return S_OK;
    } catch (...) {
        const cfx::CaughtException caught = cfx::caughtException();
        showError(window_, textOf(caught));
        return caught.hr;
    }
}

STDMETHODIMP BrowserFrame::GetViewStateStream(DWORD, IStream** stream) {
    if (stream)
        *stream = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::GetControlWindow(UINT, HWND* window) {
    if (window)
        *window = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::SendControlMsg(UINT, UINT, WPARAM, LPARAM, LRESULT* result) {
    if (result)
        *result = 0;
    return E_NOTIMPL;
}

STDMETHODIMP BrowserFrame::QueryActiveShellView(IShellView** view) {
    if (!view)
        return E_POINTER;
    *view = view_.Get();
    if (!*view)
        return E_FAIL;
    (*view)->AddRef();
    return S_OK;
}

STDMETHODIMP BrowserFrame::OnViewWindowActive(IShellView*) {
    return S_OK;
}

STDMETHODIMP BrowserFrame::SetToolbarItems(LPTBBUTTONSB, UINT, UINT) {
    return E_NOTIMPL;
}

// --- ICommDlgBrowser ---

STDMETHODIMP BrowserFrame::OnDefaultCommand(IShellView* view) {
    // S_FALSE leaves the command to the view: files are opened by their own verbs.
    // The selection comes from IShellFolderView: Wine's IFolderView counts
    // every item whatever it is asked for.
    ComPtr<IShellFolderView> folderView;
    PCUITEMID_CHILD* selection = nullptr;
    UINT selected = 0;
    if (!view || FAILED(view->QueryInterface(IID_PPV_ARGS(&folderView))) ||
        FAILED(folderView->GetSelectedObjects(&selection, &selected)))
        return S_FALSE;
    ItemIdList item(selected == 1 ? ILClone(selection[0]) : nullptr);
    LocalFree(selection); // the array only: the items belong to the view
    try {
        if (!item || !opensAsFolder(location_, item.get()))
            return S_FALSE;
    } catch (...) {
        return S_FALSE;
    }
    // Taken, even when it fails: BrowseObject has told the user why.
    BrowseObject(item.get(), SBSP_RELATIVE | SBSP_SAMEBROWSER);
    return S_OK;
}

STDMETHODIMP BrowserFrame::OnStateChange(IShellView*, ULONG) {
    return S_OK;
}

STDMETHODIMP BrowserFrame::IncludeObject(IShellView*, PCUITEMID_CHILD) {
    return S_OK;
}

// --- IServiceProvider ---

STDMETHODIMP BrowserFrame::QueryService(REFGUID service, REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualGUID(service, SID_SShellBrowser) || IsEqualGUID(service, SID_STopLevelBrowser))
        return QueryInterface(iid, object);
    return E_NOINTERFACE;
}

} // namespace cfxbrowse
