#include "folder/ItemComment.h"

#include "common/CommentCipher.h"
#include "server/KeyTable.h"
#include "server/StorageProperties.h"

namespace cfx::folder {

using namespace server;

std::wstring readComment(IStorageObject* item, const GUID& storageId) {
    const std::wstring text = readTextProperty(item, StorageProperty_Comment);
    // An item without a comment needs no key.
    return text.empty() ? std::wstring()
                        : decodeComment(text, *KeyTable::instance().find(storageId));
}

void writeComment(IStorageObject* item, const GUID& storageId, const std::wstring& comment) {
    writeTextProperty(item, StorageProperty_Comment,
                      encodeComment(comment, *KeyTable::instance().find(storageId)));
}

} // namespace cfx::folder
