#include "transfer/ChangeNotify.h"

#include "folder/StorageItemId.h"

namespace cfx::transfer {

namespace {

struct ChangeEvents {
    LONG folder;
    LONG file;
};
// Indexed by ChangeKind.
constexpr ChangeEvents kChangeEvents[] = {
    {SHCNE_MKDIR, SHCNE_CREATE},
    {SHCNE_RMDIR, SHCNE_DELETE},
    {SHCNE_RENAMEFOLDER, SHCNE_RENAMEITEM},
    {SHCNE_UPDATEDIR, SHCNE_UPDATEITEM},
};

bool namesFolder(LPCITEMIDLIST folder, LPCITEMIDLIST item) {
    if (folder && ILIsEqual(folder, item))
        return true;
    LPCITEMIDLIST last = folder::lastItem(item);
    return folder::isOwnItem(last) && folder::isFolder(last);
}

// The item's absolute list: the folder's own for the folder itself.
folder::ItemIdList absoluteList(LPCITEMIDLIST folder, LPCITEMIDLIST item) {
    if (folder && ILIsEqual(folder, item))
        return folder::combine(folder, nullptr);
    return folder::combine(folder, item);
}

} // namespace

void notifyItemChange(ChangeKind kind, LPCITEMIDLIST folder, LPCITEMIDLIST item,
                      LPCITEMIDLIST newItem) {
    const ChangeEvents& events = kChangeEvents[static_cast<int>(kind)];
    const LONG event = namesFolder(folder, item) ? events.folder : events.file;
    folder::ItemIdList first = absoluteList(folder, item);
    folder::ItemIdList second;
    if (kind == ChangeKind::NameChanged && newItem)
        second = folder::combine(folder, newItem);
    SHChangeNotify(event, SHCNF_IDLIST | SHCNF_FLUSH, first.get(), second.get());
}

} // namespace cfx::transfer
