#include "server/StorageUnlock.h"

#include "common/Base64.h"
#include "common/Exceptions.h"
#include "server/CertificateStore.h"
#include "server/ErrorReport.h"
#include "server/KeyCommands.h"
#include "server/KeyState.h"
#include "server/KeyTable.h"
#include "server/StorageProperties.h"

#include <atomic>

namespace cfx::server {

namespace {

constexpr wchar_t kAttachedKeyQuestion[] =
    L"Unable to open the storage. An appropriate installed key was not found but the storage has "
    L"the key attached.\n\nDo you want to install attached key right now?";
constexpr wchar_t kMissingKeyQuestion[] =
    L"Unable to open the storage. An appropriate key was not found.\nPlease, install the key that "
    L"was created with this storage and try to open the storage again.\n\nDo you want to install "
    L"the key right now if you have one?";

// Set while an unlock runs: a prompt's message loop must not start another.
std::atomic<bool> unlockInProgress{false};

// Clears the flag at the end of the unlock's locked part.
struct InProgress {
    InProgress() {
        if (unlockInProgress.exchange(true))
            raise(E_PENDING);
    }
    ~InProgress() { unlockInProgress = false; }
    InProgress(const InProgress&) = delete;
    InProgress& operator=(const InProgress&) = delete;
};

bool isKeyNotFound(const win_except& e) {
    return static_cast<HRESULT>(e.code()) == CRYPT_E_NOT_FOUND;
}

// The certificate the storage was created for; empty when "MY" has none.
Certificate findKeyCertificate(const std::vector<BYTE>& keyId) {
    try {
        return FindByKeyIdentifier(keyId);
    } catch (const win_except& e) {
        if (!isKeyNotFound(e))
            throw;
        return Certificate();
    }
}

// Steps under the table's lock. Returns false when no key certificate is
// installed (and none was installed from the attached copy).
bool unlockLocked(UnlockSite& folder) {
    InProgress running;
    Microsoft::WRL::ComPtr<IStorageFolder> root = folder.rootFolder();
    IStorageObject* storage = root.Get();
    // Both are VT_BSTR: a storage without them has nothing a key could open
    // (E_UNEXPECTED), which is no reason to offer installing one.
    const std::vector<BYTE> keyRecord =
        readRequiredBytesProperty(storage, StorageProperty_KeyRecord);
    const std::vector<BYTE> keyId = readRequiredBytesProperty(storage, StorageProperty_KeyId);

    Certificate certificate = findKeyCertificate(keyId);
    if (!certificate && (readFlags(storage) & kKeyAttached)) {
        const HWND owner = folder.ownerWindow();
        if (MessageBoxW(owner, kAttachedKeyQuestion, kKeyCaption, MB_YESNO | MB_ICONWARNING) !=
            IDYES)
            throw win_except(ERROR_CANCELLED);
        keyInstallers().installAttachedKey(owner, folder.storagePath());
        certificate = findKeyCertificate(keyId);
    }
    if (!certificate)
        return false;

    const std::vector<BYTE> keyState = readBytesProperty(storage, StorageProperty_KeyState);
    Certificate protecting = FindByKeyIdentifier(protectingKeyId(keyState));
    PrivateKey privateKey = AcquirePrivateKey(protecting, folder.ownerWindow());
    StorageKeyBytes key = makeStorageKey(DecryptWithPrivateKey(privateKey, keyRecord));

    KeyTable::instance().add(folder.storageId(), key, certificate);
    folder.holdKeyReference();
    writeTextProperty(storage, StorageProperty_KeyState, toBase64(answerKeyState(keyState, *key)));
    return true;
}

} // namespace

KeyInstallers& keyInstallers() {
    static KeyInstallers installers{InstallAttachedKey, InstallKeyFromFile};
    return installers;
}

bool UnlockStorageKey(UnlockSite& folder) {
    if (unlockInProgress)
        return false;

    // Already unlocked in this process: a sub-folder takes a reference.
    bool known = false;
    GUID id{};
    try {
        id = folder.storageId();
        KeyTable::instance().find(id);
        known = true;
    } catch (...) {
    }
    if (known) {
        if (!folder.isStorageRoot()) {
            KeyTable::instance().addReference(id);
            folder.holdKeyReference();
        }
        return true;
    }

    bool keyInstalled = true;
    try {
        CriticalSection::Lock hold(KeyTable::instance().lock());
        keyInstalled = unlockLocked(folder);
    } catch (...) {
        // Whatever the failure maps to (a Windows error 0 maps to S_OK), the
        // storage was not unlocked.
        showError(folder.ownerWindow(), static_cast<DWORD>(hresultOfCurrentException()));
        return false;
    }
    if (keyInstalled)
        return true;

    const HWND owner = folder.ownerWindow();
    if (MessageBoxW(owner, kMissingKeyQuestion, kKeyCaption, MB_YESNO | MB_ICONWARNING) == IDYES &&
        keyInstallers().installKeyFromFile(owner))
        return UnlockStorageKey(folder);
    return true;
}

} // namespace cfx::server
