#include "storagefile/StorageFreeze.h"

#include "common/Exceptions.h"
#include "common/Variant.h"
#include "folder/StorageItemId.h"
#include "server/ErrorReport.h"
#include "server/KeyTable.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"

#include <shellapi.h>
#include <shlobj.h>

namespace cfx::storagefile {

using folder::ItemIdList;
using Microsoft::WRL::ComPtr;
using server::checkServerCall;
using server::createRoot;
using server::openStorage;
using server::readFrozen;

bool IsStorageFrozen(IStorageObject* storage, const std::wstring& path) {
    ComPtr<IStorageServer> root = createRoot();
    notNull(root.Get());
    LONG state = StorageStateUnknown;
    checkServerCall(root->GetStorageState(makeBstr(path).get(), &state), root.Get());
    if (state != StorageStateUnknown)
        return state == StorageStateFrozen;
    // A server started after the freeze knows nothing of it: the property
    // remembers, and the server is told again.
    const bool frozen = readFrozen(storage);
    if (frozen)
        checkServerCall(root->SetStorageFrozen(makeBstr(path).get(), 1), root.Get());
    return frozen;
}

void FreezeStorage(const std::wstring& path, bool freeze) {
    ComPtr<IStorageObject> storage = openStorage(createRoot().Get(), path);
    if (readFrozen(storage.Get()) == freeze)
        return;
    ComPtr<IStorageServer> root = createRoot();
    notNull(root.Get());
    const GUID id = server::readStorageId(storage.Get());
    Variant value(freeze);
    checkServerCall(storage->SetProperty(StorageProperty_Frozen, value.get()), storage.Get());
    const Bstr file = makeBstr(path);
    if (freeze) {
        // The key goes with the opening: whoever opens the storage after a
        // thaw unlocks it anew.
        server::KeyTable::instance().remove(id);
        checkServerCall(root->ReleaseStorage(file.get()), root.Get());
    }
    checkServerCall(root->SetStorageFrozen(file.get(), freeze ? 1 : 0), root.Get());
    NotifyStorageChanged(path);
}

void NotifyStorageChanged(const std::wstring& path) {
    ItemIdList item(ILCreateFromPathW(path.c_str()));
    if (!item)
        return;
    SHFILEINFOW info{};
    info.dwAttributes = SFGAO_FOLDER;
    const bool folder = SHGetFileInfoW(reinterpret_cast<LPCWSTR>(item.get()), 0, &info, sizeof info,
                                       SHGFI_PIDL | SHGFI_ATTRIBUTES | SHGFI_ATTR_SPECIFIED) &&
                        (info.dwAttributes & SFGAO_FOLDER);
    SHChangeNotify(folder ? SHCNE_RMDIR : SHCNE_DELETE, SHCNF_IDLIST | SHCNF_FLUSH, item.get(),
                   nullptr);
    SHChangeNotify(folder ? SHCNE_MKDIR : SHCNE_CREATE, SHCNF_IDLIST | SHCNF_FLUSH, item.get(),
                   nullptr);
}

namespace {

bool runFreeze(HWND page, const std::wstring& path, bool freeze, const wchar_t* prefix) {
    try {
        FreezeStorage(path, freeze);
        return true;
    } catch (...) {
        server::showCurrentException(page, prefix);
        return false;
    }
}

} // namespace

bool freezeCommand(HWND page, const std::wstring& path) {
    return runFreeze(page, path, true, L"Unable to freeze the storage.");
}

bool unfreezeCommand(HWND page, const std::wstring& path) {
    return runFreeze(page, path, false, L"Unable to unfreeze the storage.");
}

} // namespace cfx::storagefile
