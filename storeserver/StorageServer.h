// The server's root object: a client makes one for each operation. Every
// root object of the process works on the same table of storages.
#pragma once

#include "cfxstorage.h"
#include "common/ComObjectBase.h"

namespace cfx::storeserver {

class StorageServer : public ComObject<IStorageServer, ISupportErrorInfo> {
public:
    StorageServer() noexcept;
    // A root no client holds, left out of the count GetServerInfo reports.
    enum Uncounted { kUncounted };
    explicit StorageServer(Uncounted) noexcept : counted_(false) {}
    ~StorageServer() override;

    // Root objects alive in the process.
    static LONG liveObjects() noexcept;

    STDMETHODIMP OpenStorage(BSTR path, IStorageObject** storage) override;
    STDMETHODIMP ReleaseStorage(BSTR path) override;
    STDMETHODIMP CreateStorage(BSTR path, ULONG certificateSize, const BYTE* certificate,
                               IStorageObject** storage) override;
    STDMETHODIMP DefragmentStorage(BSTR path) override;
    STDMETHODIMP ListStorages(SAFEARRAY** paths) override;
    STDMETHODIMP LockStorage(BSTR path) override;
    STDMETHODIMP GetServerInfo(DWORD* processId, LONG* rootObjects) override;
    STDMETHODIMP CommitStorage(BSTR path) override;
    STDMETHODIMP SetStorageFrozen(BSTR path, LONG frozen) override;
    STDMETHODIMP GetStorageState(BSTR path, LONG* state) override;
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    const bool counted_ = true;
};

} // namespace cfx::storeserver
