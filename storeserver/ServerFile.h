// A file inside an opened storage.
#pragma once

#include "ServerObject.h"

namespace cfx::storeserver {

class ServerFile : public ServerObject<IStorageFile> {
public:
    using ServerObject::ServerObject;

    STDMETHODIMP OpenStream(IStream** stream) override;
    STDMETHODIMP ComputeChecksum(BYTE checksum[16]) override;
};

} // namespace cfx::storeserver
