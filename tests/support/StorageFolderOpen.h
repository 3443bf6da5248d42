// cfxview.dll as the storage folder's tests load it, and a storage folder
// opened the way the shell opens one.
#pragma once

#include "folder/StorageItemId.h"
#include "idl/cfxview_classes.h"
#include "support/LoadedLibrary.h"
#include "support/TestText.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

namespace cfx::test {

using Microsoft::WRL::ComPtr;

inline LoadedLibrary& cfxview() { // loaded once for the whole program, never unloaded
    static auto* loaded = new LoadedLibrary(L"cfxview.dll");
    return *loaded;
}

// Made by the library's class factory and initialised with the file
// (expecting `initialized`); when `withView`, its view asked for, as the shell
// does before it lists a folder (which unlocks the storage).
inline ComPtr<IShellFolder2> openStorageFolder(const std::wstring& path, bool withView = true,
                                               HRESULT initialized = S_OK) {
    ComPtr<IClassFactory> factory;
    ComPtr<IShellFolder2> folder;
    ComPtr<IPersistFolder> persist;
    EXPECT_EQ(S_OK, cfxview().getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    if (!factory || FAILED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder))) ||
        FAILED(folder.As(&persist)))
        return ADD_FAILURE() << "no storage folder from the library", nullptr;
    PIDLIST_ABSOLUTE file = ILCreateFromPathW(path.c_str());
    const HRESULT hr = persist->Initialize(file);
    ILFree(file);
    EXPECT_TRUE(hrIs(initialized, hr));
    ComPtr<IShellView> view;
    EXPECT_TRUE(!withView || FAILED(hr) ||
                hrIs(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view))));
    return folder;
}

// The shell's change notifications below root while action runs, as "event
// first second": the last names of the event's two lists when they are the
// library's item identifiers, else "-".
inline std::vector<std::wstring> changeNotificationsDuring(LPCITEMIDLIST root,
                                                           const std::function<void()>& action) {
    static std::vector<std::wstring> events; // the window procedure takes no context
    events.clear();
    HWND window =
        CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrW(
        window, GWLP_WNDPROC, LONG_PTR(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            auto lastName = [](LPCITEMIDLIST list) -> std::wstring {
                LPCITEMIDLIST last = list ? ILFindLastID(list) : nullptr;
                return last && folder::isOwnItem(last) ? folder::nameOf(last) : L"-";
            };
            PIDLIST_ABSOLUTE* lists = nullptr;
            LONG event = 0;
            if (HANDLE lock = m == WM_APP
                                  ? SHChangeNotification_Lock(HANDLE(wp), DWORD(lp), &lists, &event)
                                  : nullptr) {
                events.push_back(std::to_wstring(event) + L" " + lastName(lists[0]) + L" " +
                                 lastName(lists[1]));
                SHChangeNotification_Unlock(lock);
            }
            return DefWindowProcW(w, m, wp, lp);
        }));
    SHChangeNotifyEntry entry{root, TRUE};
    const ULONG id = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_NewDelivery,
                                            SHCNE_ALLEVENTS, WM_APP, 1, &entry);
    action();
    for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
        DispatchMessageW(&message);
    SHChangeNotifyDeregister(id);
    DestroyWindow(window);
    return events;
}

} // namespace cfx::test
