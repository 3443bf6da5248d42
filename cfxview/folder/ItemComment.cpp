#include "folder/ItemComment.h"

#include "common/Base64.h"
#include "server/KeyTable.h"
#include "server/StorageProperties.h"

#include <cstring>
#include <utility>

namespace cfx::folder {

using namespace server;

void rc4(const std::vector<BYTE>& key, std::vector<BYTE>& bytes) noexcept {
    if (key.empty())
        return;
    BYTE state[256];
    for (int i = 0; i < 256; ++i)
        state[i] = static_cast<BYTE>(i);
    for (std::size_t i = 0, j = 0; i < 256; ++i) {
        j = (j + state[i] + key[i % key.size()]) & 0xFF;
        std::swap(state[i], state[j]);
    }
    std::size_t i = 0, j = 0;
    for (BYTE& byte : bytes) {
        i = (i + 1) & 0xFF;
        j = (j + state[i]) & 0xFF;
        std::swap(state[i], state[j]);
        byte ^= state[(state[i] + state[j]) & 0xFF];
    }
    SecureZeroMemory(state, sizeof state);
}

std::wstring readComment(IStorageObject* item, const GUID& storageId) {
    const std::wstring text = readTextProperty(item, StorageProperty_Comment);
    if (text.empty())
        return {};
    std::vector<BYTE> bytes = fromBase64(text);
    const StorageKeyBytes key = KeyTable::instance().find(storageId);
    rc4(*key, bytes);
    std::wstring comment(bytes.size() / sizeof(wchar_t), L'\0');
    std::memcpy(comment.data(), bytes.data(), comment.size() * sizeof(wchar_t));
    return comment;
}

void writeComment(IStorageObject* item, const GUID& storageId, const std::wstring& comment) {
    std::vector<BYTE> bytes(comment.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), comment.data(), bytes.size());
    const StorageKeyBytes key = KeyTable::instance().find(storageId);
    rc4(*key, bytes);
    writeTextProperty(item, StorageProperty_Comment, toBase64(bytes));
}

} // namespace cfx::folder
