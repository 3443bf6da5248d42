// The browser window: a frame of its own that hosts the view a folder makes
// (CreateViewObject; the system's own shell view for most folders) and
// answers the view the way Explorer's frame does: IShellBrowser for
// navigation (into sub-folders through the current folder's BindToObject,
// to absolute lists, up and back), IServiceProvider for SID_SShellBrowser,
// and ICommDlgBrowser, through which the view hands over its default command.
// Wine's view opens only files on a double click and leaves folders to the
// browser, so the frame opens folders (and files that open as folders) and
// leaves everything else to the view.
#pragma once

#include "FolderLocation.h"

#include "common/ComObjectBase.h"

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <vector>

namespace cfxbrowse {

class BrowserFrame final : public cfx::ComObject<IShellBrowser, ICommDlgBrowser, IServiceProvider> {
public:
    // A visible frame showing `start`; raises a described error when it cannot.
    static Microsoft::WRL::ComPtr<BrowserFrame> create(FolderLocation start);

    HWND window() const noexcept { return window_; }
    IShellView* view() const noexcept { return view_.Get(); }
    HWND viewWindow() const noexcept { return viewWindow_; }
    const FolderLocation& location() const noexcept { return location_; }
    // Counts finished navigations, for callers that wait for one.
    unsigned navigations() const noexcept { return navigations_; }

    // BrowseObject that raises a described error instead of returning it.
    void browse(PCUIDLIST_RELATIVE list, UINT flags);

    // The frame's keys (Backspace: up, Alt+Left: back, F5: refresh) and the
    // view's accelerators; true when the message was used up.
    bool translate(MSG& message);

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;

    // IShellBrowser
    STDMETHODIMP InsertMenusSB(HMENU shared, LPOLEMENUGROUPWIDTHS widths) override;
    STDMETHODIMP SetMenuSB(HMENU shared, HOLEMENU reserved, HWND activeObject) override;
    STDMETHODIMP RemoveMenusSB(HMENU shared) override;
    STDMETHODIMP SetStatusTextSB(LPCWSTR text) override;
    STDMETHODIMP EnableModelessSB(BOOL enable) override;
    STDMETHODIMP TranslateAcceleratorSB(MSG* message, WORD id) override;
    STDMETHODIMP BrowseObject(PCUIDLIST_RELATIVE list, UINT flags) override;
    STDMETHODIMP GetViewStateStream(DWORD mode, IStream** stream) override;
    STDMETHODIMP GetControlWindow(UINT id, HWND* window) override;
    STDMETHODIMP SendControlMsg(UINT id, UINT message, WPARAM wParam, LPARAM lParam,
                                LRESULT* result) override;
    STDMETHODIMP QueryActiveShellView(IShellView** view) override;
    STDMETHODIMP OnViewWindowActive(IShellView* view) override;
    STDMETHODIMP SetToolbarItems(LPTBBUTTONSB buttons, UINT count, UINT flags) override;

    // ICommDlgBrowser
    STDMETHODIMP OnDefaultCommand(IShellView* view) override;
    STDMETHODIMP OnStateChange(IShellView* view, ULONG change) override;
    STDMETHODIMP IncludeObject(IShellView* view, PCUITEMID_CHILD item) override;

    // IServiceProvider
    STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** object) override;

private:
    BrowserFrame();

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void makeWindow();
    void show(FolderLocation next, bool remember);
    RECT viewArea() const;
    void layOut();
    void updateButtons();
    void retireViews();
    void closeView();

    HWND window_ = nullptr;
    HWND toolbar_ = nullptr;
    FolderLocation location_;
    Microsoft::WRL::ComPtr<IShellView> view_;
    HWND viewWindow_ = nullptr;
    // Views replaced while one of their own calls may still be running (a
    // double click navigates from inside the old view): destroyed later.
    std::vector<Microsoft::WRL::ComPtr<IShellView>> retired_;
    std::vector<ItemIdList> history_; // where Back goes, last first
    unsigned navigations_ = 0;
};

} // namespace cfxbrowse
