#include "server/StoragePointer.h"

#include "common/Exceptions.h"
#include "server/ServerCall.h"
#include "server/StorageThread.h"

using Microsoft::WRL::ComPtr;

namespace cfx::server {

StoragePointer::StoragePointer() noexcept : creatingThread_(GetCurrentThreadId()) {}

StoragePointer::~StoragePointer() {
    creatingThreadFolder_.Reset();
    try {
        if (stored_)
            reset(nullptr);
    } catch (...) {
        // The storage thread has gone, and the object with its apartment.
    }
}

void StoragePointer::reset(IUnknown* object) {
    // References of storage objects change on the storage thread only.
    runOnStorageThread([&] {
        if (object)
            object->AddRef();
        if (stored_)
            stored_->Release();
        stored_ = object;
        InterlockedIncrement(&generation_);
    });
}

ComPtr<IStorageFolder> StoragePointer::folderForThisThread() {
    if (!stored_)
        raise(E_NOINTERFACE);
    if (isStorageThread()) {
        ComPtr<IStorageFolder> folder;
        checkServerCall(stored_->QueryInterface(IID_PPV_ARGS(&folder)), stored_);
        return folder;
    }
    if (GetCurrentThreadId() != creatingThread_)
        return unmarshalForThisThread();
    // A proxy of an object kept before the last reset is released here, on
    // the thread whose apartment it belongs to.
    const LONG generation = generation_;
    if (creatingThreadFolder_ && creatingThreadGeneration_ != generation)
        creatingThreadFolder_.Reset();
    if (!creatingThreadFolder_) {
        creatingThreadFolder_ = unmarshalForThisThread();
        creatingThreadGeneration_ = generation;
    }
    return creatingThreadFolder_;
}

ComPtr<IStorageFolder> StoragePointer::unmarshalForThisThread() {
    ComPtr<IStream> stream;
    runOnStorageThread([&] {
        ComPtr<IStorageFolder> folder;
        checkServerCall(stored_->QueryInterface(IID_PPV_ARGS(&folder)), stored_);
        check(CoMarshalInterThreadInterfaceInStream(IID_IStorageFolder, folder.Get(), &stream));
    });
    ComPtr<IStorageFolder> folder;
    HRESULT hr = CoUnmarshalInterface(stream.Get(), IID_PPV_ARGS(&folder));
    if (FAILED(hr)) {
        // The marshal data holds a reference on the object: give it back.
        const LARGE_INTEGER start{};
        if (SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr)))
            CoReleaseMarshalData(stream.Get());
        raise(hr);
    }
    return folder;
}

} // namespace cfx::server
