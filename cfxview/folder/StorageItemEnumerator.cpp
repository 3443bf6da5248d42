#include "folder/StorageItemEnumerator.h"

#include "common/Exceptions.h"

namespace cfx::folder {

namespace {

ItemIdList cloned(LPCITEMIDLIST list) {
    ItemIdList copy(ILClone(list));
    if (!copy)
        raise(E_OUTOFMEMORY);
    return copy;
}

} // namespace

StorageItemEnumerator::StorageItemEnumerator(std::vector<ItemIdList> items) noexcept
    : items_(std::move(items)) {}

STDMETHODIMP StorageItemEnumerator::Next(ULONG count, PITEMID_CHILD* items, ULONG* fetched) {
    return guarded([&]() -> HRESULT {
        if (!fetched && count > 1)
            return E_INVALIDARG;
        if (count > 0)
            notNull(items);
        ULONG taken = 0;
        for (; taken < count && position_ < items_.size(); ++taken, ++position_)
            items[taken] = cloned(items_[position_].get()).release();
        if (fetched)
            *fetched = taken;
        return taken == count ? S_OK : S_FALSE;
    });
}

STDMETHODIMP StorageItemEnumerator::Skip(ULONG count) {
    const std::size_t left = items_.size() - position_;
    position_ = left < count ? items_.size() : position_ + count;
    return S_OK;
}

STDMETHODIMP StorageItemEnumerator::Clone(IEnumIDList** copy) {
    return guarded([&]() -> HRESULT {
        if (!copy)
            return E_POINTER;
        *copy = nullptr;
        std::vector<ItemIdList> items;
        items.reserve(items_.size());
        for (const ItemIdList& item : items_)
            items.push_back(cloned(item.get()));
        OwnedObject clone(new StorageItemEnumerator(std::move(items)));
        return clone->queryInterface(IID_IEnumIDList, reinterpret_cast<void**>(copy));
    });
}

} // namespace cfx::folder
