#include "transfer/StreamWrapper.h"

#include "common/Handles.h"
#include "module/Module.h"

#include <algorithm>

namespace cfx::transfer {

namespace {

constexpr ULONG kCopyBlock = 4096;

} // namespace

// Counts in the module lock: a drop target may keep a stream after every
// other object of the library is gone.
StreamWrapper::StreamWrapper(IStream* inner) noexcept : inner_(inner) {
    module::lock();
}

StreamWrapper::~StreamWrapper() {
    module::unlock();
}

STDMETHODIMP StreamWrapper::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IStream) &&
        !IsEqualIID(iid, IID_ISequentialStream))
        return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IStream*>(this);
    return S_OK;
}

STDMETHODIMP_(ULONG) StreamWrapper::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}

STDMETHODIMP_(ULONG) StreamWrapper::Release() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) {
        inner_->Release();
        delete this;
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP StreamWrapper::Read(void* buffer, ULONG size, ULONG* read) {
    ULONG got = 0;
    const HRESULT hr = inner_->Read(buffer, size, &got);
    if (FAILED(hr))
        return hr;
    ULONG count = got;
    const HRESULT transformed = TransformRead(buffer, &count);
    if (FAILED(transformed)) {
        // Back to where the read started: moved back by what it read rather
        // than asked for the position before every read (a call to the
        // storage server each time).
        LARGE_INTEGER back;
        back.QuadPart = -static_cast<LONGLONG>(got);
        Seek(back, STREAM_SEEK_CUR, nullptr);
        return transformed;
    }
    if (read)
        *read = count;
    return transformed;
}

STDMETHODIMP StreamWrapper::Write(const void* buffer, ULONG size, ULONG* written) {
    void* replacement = nullptr;
    ULONG count = size;
    const HRESULT transformed = TransformWrite(buffer, &count, &replacement);
    if (FAILED(transformed))
        return transformed;
    TaskMemory held(replacement);
    return inner_->Write(replacement ? replacement : buffer, replacement ? count : size, written);
}

STDMETHODIMP StreamWrapper::CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) {
    if (!target)
        return STG_E_INVALIDPOINTER;
    BYTE block[kCopyBlock];
    ULONGLONG totalRead = 0, totalWritten = 0;
    HRESULT hr = S_OK;
    while (totalRead < size.QuadPart) {
        const ULONG wanted =
            static_cast<ULONG>(std::min<ULONGLONG>(kCopyBlock, size.QuadPart - totalRead));
        ULONG got = 0;
        hr = Read(block, wanted, &got);
        if (FAILED(hr) || got == 0)
            break;
        totalRead += got;
        ULONG put = 0;
        hr = target->Write(block, got, &put);
        totalWritten += put;
        if (FAILED(hr))
            break;
    }
    if (read)
        read->QuadPart = totalRead;
    if (written)
        written->QuadPart = totalWritten;
    return hr;
}

STDMETHODIMP StreamWrapper::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
    return inner_->Seek(move, origin, position);
}
STDMETHODIMP StreamWrapper::SetSize(ULARGE_INTEGER size) {
    return inner_->SetSize(size);
}
STDMETHODIMP StreamWrapper::Commit(DWORD flags) {
    return inner_->Commit(flags);
}
STDMETHODIMP StreamWrapper::Revert() {
    return inner_->Revert();
}
STDMETHODIMP StreamWrapper::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) {
    return inner_->LockRegion(offset, size, type);
}
STDMETHODIMP StreamWrapper::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) {
    return inner_->UnlockRegion(offset, size, type);
}
STDMETHODIMP StreamWrapper::Stat(STATSTG* stat, DWORD flags) {
    return inner_->Stat(stat, flags);
}
STDMETHODIMP StreamWrapper::Clone(IStream** clone) {
    return inner_->Clone(clone);
}

} // namespace cfx::transfer
