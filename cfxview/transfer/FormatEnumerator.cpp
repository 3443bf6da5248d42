#include "transfer/FormatEnumerator.h"

#include "common/Exceptions.h"

#include <utility>

namespace cfx::transfer {

FormatEnumerator::FormatEnumerator(std::vector<FORMATETC> formats) : formats_(std::move(formats)) {}

STDMETHODIMP FormatEnumerator::Next(ULONG count, FORMATETC* formats, ULONG* fetched) {
    if (fetched)
        *fetched = 0;
    if (count && !formats)
        return E_POINTER;
    for (ULONG copied = 0; copied < count; ++copied) {
        if (cursor_ >= formats_.size())
            return S_FALSE;
        formats[copied] = formats_[cursor_++];
        if (fetched)
            *fetched = copied + 1;
    }
    return S_OK;
}

STDMETHODIMP FormatEnumerator::Skip(ULONG count) {
    if (formats_.size() - cursor_ < count) {
        cursor_ = formats_.size();
        return S_FALSE;
    }
    cursor_ += count;
    return S_OK;
}

STDMETHODIMP FormatEnumerator::Reset() {
    cursor_ = 0;
    return S_OK;
}

STDMETHODIMP FormatEnumerator::Clone(IEnumFORMATETC** clone) {
    return guarded([&] {
        notNull(clone);
        *clone = nullptr;
        OwnedObject copy(new FormatEnumerator(formats_));
        check(copy->queryInterface(IID_IEnumFORMATETC, reinterpret_cast<void**>(clone)));
    });
}

} // namespace cfx::transfer
