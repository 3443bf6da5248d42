#include "storagefile/StorageState.h"

#include "common/Exceptions.h"
#include "server/CertificateStore.h"
#include "server/KeyCommands.h"
#include "server/ServerCall.h"
#include "server/StorageProperties.h"
#include "storagefile/StorageFreeze.h"

#include <shellapi.h>

namespace cfx::storagefile {

std::wstring selectedStorage(PCIDLIST_ABSOLUTE folder, IDataObject* data,
                             folder::ItemIdList& folderCopy) {
    std::wstring path;
    if (folder) {
        folderCopy.reset(ILClone(folder));
        if (!folderCopy)
            throw std::bad_alloc();
        wchar_t folderPath[MAX_PATH];
        if (!SHGetPathFromIDListW(folderCopy.get(), folderPath))
            raise(E_FAIL);
        path = folderPath;
    } else {
        FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium{};
        check(notNull(data)->GetData(&format, &medium));
        struct Medium {
            STGMEDIUM* medium;
            ~Medium() { ReleaseStgMedium(medium); }
        } held{&medium};
        HDROP drop = static_cast<HDROP>(medium.hGlobal);
        const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        // Read whole, past MAX_PATH: a path cut short would name another file.
        for (UINT i = count; i-- > 0;) {
            std::wstring name(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
            name.resize(DragQueryFileW(drop, i, name.data(), static_cast<UINT>(name.size())));
            path = name;
        }
        if (count > 1)
            raise(E_INVALIDARG);
    }
    if (path.empty())
        raise(E_FAIL);
    return path;
}

StorageState StorageState::read(PCIDLIST_ABSOLUTE folder, IDataObject* data,
                                folder::ItemIdList& folderCopy) {
    StorageState state;
    state.path = selectedStorage(folder, data, folderCopy);
    const auto storage = server::openStorage(server::createRoot().Get(), state.path);
    state.frozen = IsStorageFrozen(storage.Get(), state.path);
    state.installedKey = server::FindInstalledKey(storage.Get());
    state.flags = server::readFlags(storage.Get());
    return state;
}

void StorageState::readKeyState() {
    const auto storage = server::openStorage(server::createRoot().Get(), path);
    flags = server::readFlags(storage.Get());
    installedKey = server::FindInstalledKey(storage.Get());
}

bool StorageState::attached() const noexcept {
    return (flags & server::kKeyAttached) != 0;
}

bool keyCommandRuns(KeyCommand command, const StorageState& state) noexcept {
    switch (command) {
    case KeyCommand::View:
    case KeyCommand::Delete:
        return state.installed();
    case KeyCommand::Attach:
        return !state.attached();
    default:
        return state.attached();
    }
}

bool keyCommandEnabled(KeyCommand command, const StorageState& state) noexcept {
    return keyCommandRuns(command, state) && !(command == KeyCommand::Install && state.installed());
}

void runKeyCommand(KeyCommand command, HWND owner, const StorageState& state) {
    using Command = bool (*)(HWND, const std::wstring&);
    static constexpr Command kCommands[] = {
        server::ViewKey,   server::DeleteKey,          server::AttachKey,
        server::DetachKey, server::InstallAttachedKey, server::ExportAttachedKey};
    kCommands[static_cast<int>(command)](owner, state.path);
}

} // namespace cfx::storagefile
