#include "storagefile/IconOverlay.h"

#include "common/Exceptions.h"
#include "module/Module.h"

#include <string>

namespace cfx {

// Membership needs the storage's state from the server, which the handlers do
// not reach yet; E_NOTIMPL makes the shell draw no overlay.
STDMETHODIMP IconOverlay::IsMemberOf(LPCWSTR, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP IconOverlay::GetOverlayInfo(LPWSTR iconFile, int size, int* index, DWORD* flags) {
    return guarded([&] {
        notNull(iconFile);
        *notNull(index) = iconIndex_;
        *notNull(flags) = ISIOI_ICONFILE | ISIOI_ICONINDEX;

        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            DWORD length = GetModuleFileNameW(module::instance(), path.data(),
                                              static_cast<DWORD>(path.size()));
            if (length == 0)
                throwLastError();
            if (length < path.size()) {
                path.resize(length);
                break;
            }
            path.resize(path.size() * 2);
        }
        if (size <= 0 || path.size() >= static_cast<size_t>(size))
            return E_OUTOFMEMORY;
        path.copy(iconFile, path.size());
        iconFile[path.size()] = L'\0';
        return S_OK;
    });
}

STDMETHODIMP IconOverlay::GetPriority(int* priority) {
    if (!priority)
        return E_POINTER;
    *priority = priority_;
    return S_OK;
}

} // namespace cfx
