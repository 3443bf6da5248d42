#include "ServerFile.h"

#include "ServerStream.h"

#include <algorithm>

namespace cfx::storeserver {

STDMETHODIMP ServerFile::OpenStream(IStream** stream) {
    return serve([&] {
        *notNull(stream) = nullptr;
        store::FileStream opened = place_.use([](store::Item& item) { return item.openStream(); });
        *stream = new ServerStream(place_, std::move(opened));
    });
}

STDMETHODIMP ServerFile::ComputeChecksum(BYTE checksum[16]) {
    return serve([&] {
        notNull(checksum);
        auto digest = place_.use([](store::Item& item) { return item.checksum(); });
        std::copy(digest.begin(), digest.end(), checksum);
    });
}

} // namespace cfx::storeserver
