#include "transfer/StorageFileStream.h"

#include "common/Exceptions.h"

namespace cfx::transfer {

IStream* StorageFileStream::wrap(IStream* serverStream) {
    return new StorageFileStream(notNull(serverStream));
}

HRESULT StorageFileStream::TransformRead(void*, ULONG*) {
    return S_OK;
}

HRESULT StorageFileStream::TransformWrite(const void*, ULONG*, void** replacement) {
    *replacement = nullptr;
    return S_OK;
}

} // namespace cfx::transfer
