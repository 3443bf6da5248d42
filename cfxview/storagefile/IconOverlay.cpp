#include "storagefile/IconOverlay.h"

#include "common/Exceptions.h"
#include "module/Module.h"

#include <string>

namespace cfx::storagefile {

namespace {

struct OverlayRow {
    int iconIndex; // counts the library's icon groups in resource order
    int priority;  // 0 is the highest the shell knows
};

// In the order of IconOverlay::Kind.
constexpr OverlayRow kOverlays[] = {
    {1, 1}, // Frozen
    {2, 0}, // Inaccessible: a guest account, or no storage server
    {3, 2}, // Key: a copy of the key is attached
};

} // namespace

// Membership needs the storage's state from the server, which the handlers do
// not reach yet; E_NOTIMPL makes the shell draw no overlay.
STDMETHODIMP IconOverlay::IsMemberOf(LPCWSTR, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP IconOverlay::GetOverlayInfo(LPWSTR iconFile, int size, int* index, DWORD* flags) {
    return guarded([&] {
        notNull(iconFile);
        *notNull(index) = kOverlays[kind_].iconIndex;
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
    *priority = kOverlays[kind_].priority;
    return S_OK;
}

} // namespace cfx::storagefile
