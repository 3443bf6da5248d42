#include "StorageServer.h"

#include "OpenStorages.h"
#include "Served.h"
#include "ServerFolder.h"

#include "common/Exceptions.h"
#include "common/Handles.h"

namespace cfx::storeserver {

namespace {

LONG liveRoots = 0;

template <class Body> HRESULT serve(Body&& body) noexcept {
    return served(IID_IStorageServer, std::forward<Body>(body));
}

// The entry of a storage the server has seen; STG_E_FILENOTFOUND otherwise.
std::shared_ptr<StorageEntry> known(BSTR path) {
    auto entry = OpenStorages::instance().find(fromBstr(path));
    if (!entry)
        store::fail(STG_E_FILENOTFOUND,
                    L"The storage " + store::quoted(fromBstr(path)) + L" is not open.");
    return entry;
}

} // namespace

StorageServer::StorageServer() noexcept {
    ++liveRoots;
}

StorageServer::~StorageServer() {
    if (counted_)
        --liveRoots;
}

LONG StorageServer::liveObjects() noexcept {
    return liveRoots;
}

STDMETHODIMP StorageServer::OpenStorage(BSTR path, IStorageObject** storage) {
    return serve([&] {
        *notNull(storage) = nullptr;
        auto entry = OpenStorages::instance().entry(fromBstr(path));
        entry->open();
        *storage = new ServerFolder(ItemPlace(entry, std::nullopt));
    });
}

STDMETHODIMP StorageServer::ReleaseStorage(BSTR path) {
    // Releasing a storage the server does not hold leaves nothing to do.
    return serve([&] {
        if (auto entry = OpenStorages::instance().find(fromBstr(path)))
            entry->release();
    });
}

STDMETHODIMP StorageServer::CreateStorage(BSTR path, ULONG certificateSize, const BYTE* certificate,
                                          IStorageObject** storage) {
    return serve([&] {
        *notNull(storage) = nullptr;
        if (!certificate || certificateSize == 0)
            store::fail(E_INVALIDARG, L"A storage is made for a certificate; none was given.");
        auto entry = OpenStorages::instance().entry(fromBstr(path));
        entry->create(certificate, certificateSize);
        *storage = new ServerFolder(ItemPlace(entry, std::nullopt));
    });
}

STDMETHODIMP StorageServer::DefragmentStorage(BSTR path) {
    return serve([&] { OpenStorages::instance().entry(fromBstr(path))->defragment(); });
}

STDMETHODIMP StorageServer::ListStorages(SAFEARRAY** paths) {
    return serve([&] {
        *notNull(paths) = nullptr;
        const std::vector<std::wstring> open = OpenStorages::instance().openPaths();
        SAFEARRAY* list = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(open.size()));
        if (!list)
            throw std::bad_alloc();
        for (LONG i = 0; i < static_cast<LONG>(open.size()); ++i) {
            Bstr text = makeBstr(open[static_cast<size_t>(i)]);
            HRESULT hr = SafeArrayPutElement(list, &i, text.get()); // copies the string
            if (FAILED(hr)) {
                SafeArrayDestroy(list);
                raise(hr);
            }
        }
        *paths = list;
    });
}

STDMETHODIMP StorageServer::LockStorage(BSTR path) {
    return serve([&] { known(path)->lock(); });
}

STDMETHODIMP StorageServer::GetServerInfo(DWORD* processId, LONG* rootObjects) {
    return serve([&] {
        *notNull(processId) = GetCurrentProcessId();
        *notNull(rootObjects) = liveRoots;
    });
}

STDMETHODIMP StorageServer::CommitStorage(BSTR path) {
    return serve([&] { known(path)->commit(); });
}

STDMETHODIMP StorageServer::SetStorageFrozen(BSTR path, LONG frozen) {
    return serve([&] {
        if (frozen != 0 && frozen != 1)
            store::fail(E_INVALIDARG,
                        L"The frozen state is 0 or 1, not " + std::to_wstring(frozen) + L".");
        OpenStorages::instance().entry(fromBstr(path))->setFrozen(frozen == 1);
    });
}

STDMETHODIMP StorageServer::GetStorageState(BSTR path, LONG* state) {
    return serve([&] {
        *notNull(state) = StorageStateUnknown;
        if (auto entry = OpenStorages::instance().find(fromBstr(path)))
            *state = entry->state();
    });
}

STDMETHODIMP StorageServer::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_IStorageServer) ? S_OK : S_FALSE;
}

} // namespace cfx::storeserver
