// IStream on a file's contents. The position is the stream's own; what it
// writes is committed by Commit, by the storage's next committed change, and
// when the client releases the stream.
#pragma once

#include "OpenStorages.h"

#include "common/ComObjectBase.h"

#include <objidl.h>

namespace cfx::storeserver {

class ServerStream : public ComObject<IStream, ISupportErrorInfo> {
public:
    ServerStream(ItemPlace file, store::FileStream stream, ULONGLONG position = 0);
    ~ServerStream() override;

    STDMETHODIMP Read(void* buffer, ULONG size, ULONG* read) override;
    STDMETHODIMP Write(const void* buffer, ULONG size, ULONG* written) override;
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override;
    STDMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                        ULARGE_INTEGER* written) override;
    STDMETHODIMP Commit(DWORD flags) override;
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
    // Writes go to the storage as they come: there is nothing of the stream's
    // own to throw away, and no region to lock.
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP Clone(IStream** clone) override;
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    // Runs body(FileStream&) once the file's storage is known to be open.
    template <class Body> auto use(Body&& body) {
        return file_.use([&](store::Item&) { return body(stream_); });
    }

    ItemPlace file_;
    store::FileStream stream_;
    ULONGLONG position_;
    bool written_ = false;
};

} // namespace cfx::storeserver
