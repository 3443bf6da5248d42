#include "ServerFolder.h"

#include "ServerEnum.h"
#include "ServerFile.h"
#include "ServerItemInfo.h"

namespace cfx::storeserver {

IStorageObject* objectFor(const ItemPlace& place, store::ItemType type) {
    if (type == store::ItemType::Folder)
        return new ServerFolder(place);
    return new ServerFile(place);
}

STDMETHODIMP ServerFolder::EnumItems(IStorageEnum** items) {
    return serve([&] {
        *notNull(items) = nullptr;
        *items = new ServerEnum(place_.use([](store::Item& folder) { return folder.list(); }));
    });
}

STDMETHODIMP ServerFolder::OpenFolder(BSTR name, VARIANT_BOOL create, IStorageFolder** folder) {
    return serve([&] {
        *notNull(folder) = nullptr;
        // A path of several names ("a\\b") is walked from this folder down.
        const std::wstring path = fromBstr(name);
        store::Item found = place_.use([&](store::Item& parent) {
            store::Item at = parent;
            std::size_t start = 0;
            for (std::size_t end; (end = path.find(L'\\', start)) != std::wstring::npos;
                 start = end + 1)
                at = at.openFolder(path.substr(start, end - start), create != 0);
            return at.openFolder(path.substr(start), create != 0);
        });
        *folder = new ServerFolder(place_.child(std::move(found)));
    });
}

STDMETHODIMP ServerFolder::OpenFile(BSTR name, VARIANT_BOOL create, IStorageFile** file) {
    return serve([&] {
        *notNull(file) = nullptr;
        std::optional<store::Item> found = place_.use(
            [&](store::Item& parent) { return parent.openFile(fromBstr(name), create != 0); });
        if (found)
            *file = new ServerFile(place_.child(std::move(*found)));
    });
}

STDMETHODIMP ServerFolder::RenameItem(BSTR oldName, BSTR newName) {
    return serve([&] {
        place_.use(
            [&](store::Item& folder) { folder.rename(fromBstr(oldName), fromBstr(newName)); });
    });
}

STDMETHODIMP ServerFolder::DeleteItem(BSTR name) {
    return serve([&] { place_.use([&](store::Item& folder) { folder.remove(fromBstr(name)); }); });
}

STDMETHODIMP ServerFolder::GetItem(BSTR name, IStorageObject** item) {
    return serve([&] {
        *notNull(item) = nullptr;
        store::Item found =
            place_.use([&](store::Item& folder) { return folder.item(fromBstr(name)); });
        const store::ItemType type = found.type();
        *item = objectFor(place_.child(std::move(found)), type);
    });
}

STDMETHODIMP ServerFolder::GetItemInfo(BSTR name, IStorageItem** item) {
    return serve([&] {
        *notNull(item) = nullptr;
        *item = new ServerItemInfo(
            place_.use([&](store::Item& folder) { return folder.item(fromBstr(name)).info(); }));
    });
}

} // namespace cfx::storeserver
