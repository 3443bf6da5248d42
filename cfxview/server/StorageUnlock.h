// Unlocking a storage's key for this process: the certificate the storage
// was created for is looked up in the current user's "MY" store, its private
// key recovers the storage key from the key record, the key goes into the
// key table, and the server gets it back through the key-state record. When
// the certificate is missing the user is offered to install it: first the
// key attached to the storage, then a key file.
#pragma once

#include "cfxstorage.h"

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <string>

namespace cfx::server {

// What the unlock needs of the storage folder it runs for.
class UnlockSite {
public:
    // The storage's Id (read once, on the storage thread, by the folder).
    virtual GUID storageId() = 0;
    // The storage's root folder, usable on the calling thread.
    virtual Microsoft::WRL::ComPtr<IStorageFolder> rootFolder() = 0;
    virtual std::wstring storagePath() = 0;
    // Owns the prompts and the error box.
    virtual HWND ownerWindow() = 0;
    virtual bool isStorageRoot() = 0;
    // The folder now holds a reference on the storage's key entry, which it
    // gives back when it goes.
    virtual void holdKeyReference() = 0;

protected:
    ~UnlockSite() = default;
};

// The install commands the prompts run on Yes. Each returns whether it
// installed something; a test may replace them for its own run.
struct KeyInstallers {
    std::function<bool(HWND owner, const std::wstring& storagePath)> installAttachedKey;
    std::function<bool(HWND owner)> installKeyFromFile;
};
KeyInstallers& keyInstallers();

// True when the storage may be listed: it is unlocked, was already, or the
// user declined to install a missing key. False when an unlock is already
// running on this process (no box) or after a failure, shown with the error
// box.
bool UnlockStorageKey(UnlockSite& folder);

} // namespace cfx::server
