// A folder inside an opened storage, or the storage object itself, which
// answers for the storage's root folder.
#pragma once

#include "ServerObject.h"

namespace cfx::storeserver {

class ServerFolder : public ServerObject<IStorageFolder> {
public:
    using ServerObject::ServerObject;

    STDMETHODIMP EnumItems(IStorageEnum** items) override;
    STDMETHODIMP OpenFolder(BSTR name, VARIANT_BOOL create, IStorageFolder** folder) override;
    STDMETHODIMP OpenFile(BSTR name, VARIANT_BOOL create, IStorageFile** file) override;
    STDMETHODIMP RenameItem(BSTR oldName, BSTR newName) override;
    STDMETHODIMP DeleteItem(BSTR name) override;
    STDMETHODIMP GetItem(BSTR name, IStorageObject** item) override;
    STDMETHODIMP GetItemInfo(BSTR name, IStorageItem** item) override;
};

// The object for an item: a ServerFolder or a ServerFile, as IStorageObject.
IStorageObject* objectFor(const ItemPlace& place, store::ItemType type);

} // namespace cfx::storeserver
