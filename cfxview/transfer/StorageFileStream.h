// The stream of a file inside a storage as the library hands it out: the
// "FileContents" a drop target reads, and what the transfer engine writes an
// imported file through. Both hooks let the bytes pass unchanged.
#pragma once

#include "transfer/StreamWrapper.h"

namespace cfx::transfer {

class StorageFileStream final : public StreamWrapper {
public:
    // Takes over one reference of the server's stream; the wrapper is handed
    // out with that reference.
    static IStream* wrap(IStream* serverStream);

    HRESULT TransformRead(void* buffer, ULONG* size) override;
    HRESULT TransformWrite(const void* buffer, ULONG* size, void** replacement) override;

private:
    using StreamWrapper::StreamWrapper;
    ~StorageFileStream() override = default;
};

} // namespace cfx::transfer
