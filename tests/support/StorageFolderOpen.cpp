#include "support/StorageFolderOpen.h"

#include "folder/StorageItemId.h"
#include "idl/cfxview_classes.h"
#include "support/TestText.h"

#include <gtest/gtest.h>

namespace cfx::test {

using Microsoft::WRL::ComPtr;

LoadedLibrary& cfxview() {
    static auto* loaded = new LoadedLibrary(L"cfxview.dll"); // stays loaded to the end
    return *loaded;
}

ComPtr<IShellFolder2> openStorageFolder(const std::wstring& path, bool withView,
                                        HRESULT initialized) {
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

std::vector<std::wstring> changeNotificationsDuring(LPCITEMIDLIST root,
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
