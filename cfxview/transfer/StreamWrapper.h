// An IStream in front of a stream of the storage server, with two hooks on
// the bytes that pass: what is read, and what is about to be written. It
// holds one reference of the inner stream and gives it back with its own
// last one. (It counts its own references: a proxy's Release does not tell
// its last reference by answering 0 - Wine's answered 1 - so a wrapper that
// waited for the inner stream's 0 could outlive every user.)
#pragma once

#include <windows.h>
#include <objidl.h>

namespace cfx::transfer {

class StreamWrapper : public IStream {
public:
    StreamWrapper(const StreamWrapper&) = delete;
    StreamWrapper& operator=(const StreamWrapper&) = delete;

    // IUnknown: IStream and ISequentialStream are the wrapper itself.
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ISequentialStream: through the hooks.
    STDMETHODIMP Read(void* buffer, ULONG size, ULONG* read) override;
    STDMETHODIMP Write(const void* buffer, ULONG size, ULONG* written) override;

    // IStream: CopyTo reads through Read (and its hook); the rest go to the
    // inner stream as they are (Clone's stream comes back unwrapped).
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override;
    STDMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                        ULARGE_INTEGER* written) override;
    STDMETHODIMP Commit(DWORD flags) override;
    STDMETHODIMP Revert() override;
    STDMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
    STDMETHODIMP Clone(IStream** clone) override;

    // On the bytes just read; may change the count.
    virtual HRESULT TransformRead(void* buffer, ULONG* size) = 0;
    // On the bytes about to be written; may hand back a replacement buffer
    // (CoTaskMemAlloc, freed by the wrapper) and its count.
    virtual HRESULT TransformWrite(const void* buffer, ULONG* size, void** replacement) = 0;

protected:
    // Takes over one reference of inner.
    explicit StreamWrapper(IStream* inner) noexcept;
    virtual ~StreamWrapper();

private:
    IStream* inner_;
    volatile LONG references_ = 1;
};

} // namespace cfx::transfer
