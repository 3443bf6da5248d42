#include "storagefile/IconOverlay.h"

#include "common/Exceptions.h"
#include "common/ModulePath.h"
#include "module/Module.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "storagefile/StorageFreeze.h"

#include <shlwapi.h>

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

bool isStorageFile(LPCWSTR path) {
    return path && lstrcmpiW(PathFindExtensionW(path), L".demo-coffrex") == 0;
}

bool isGuest() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    checkLastError(CreateWellKnownSid(WinBuiltinGuestsSid, nullptr, sid, &size));
    BOOL member = FALSE;
    checkLastError(CheckTokenMembership(nullptr, sid, &member));
    return member != FALSE;
}

// Out of reach: a guest, or no server root object to be had. Any failure,
// the Guests check's included, counts as out of reach.
bool isInaccessible() {
    try {
        if (isGuest())
            return true;
        server::createRoot();
        return false;
    } catch (...) {
        return true;
    }
}

// A storage that cannot be opened or read is neither frozen nor keyed.
bool hasState(IconOverlay::Kind kind, const std::wstring& path) {
    try {
        const auto storage = server::openStorage(server::createRoot().Get(), path);
        if (kind == IconOverlay::Frozen)
            return IsStorageFrozen(storage.Get(), path);
        return (server::readFlags(storage.Get()) & server::kKeyAttached) != 0;
    } catch (...) {
        return false;
    }
}

} // namespace

// Computed afresh from the server on every call; other files cost no call.
STDMETHODIMP IconOverlay::IsMemberOf(LPCWSTR path, DWORD) {
    if (!isStorageFile(path))
        return S_FALSE;
    const bool member = kind_ == Inaccessible ? isInaccessible() : hasState(kind_, path);
    return member ? S_OK : S_FALSE;
}

STDMETHODIMP IconOverlay::GetOverlayInfo(LPWSTR iconFile, int size, int* index, DWORD* flags) {
    return guarded([&] {
        notNull(iconFile);
        *notNull(index) = kOverlays[kind_].iconIndex;
        *notNull(flags) = ISIOI_ICONFILE | ISIOI_ICONINDEX;

        const std::wstring path = modulePath(module::instance());
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
