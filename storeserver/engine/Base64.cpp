#include "Base64.h"

#include "StoreError.h"
#include "server/Base64.h"

#include <stdexcept>

namespace cfx::store {

// The library's coding, with the engine's failure: a StoreError.

std::wstring toBase64(const BYTE* bytes, size_t size) {
    return cfx::toBase64(std::vector<BYTE>(bytes, bytes + size));
}

std::wstring toBase64(const std::vector<BYTE>& bytes) {
    return cfx::toBase64(bytes);
}

std::vector<BYTE> fromBase64(const wchar_t* text, size_t length) {
    try {
        return cfx::fromBase64(std::wstring(text, length));
    } catch (const std::invalid_argument&) {
        fail(E_INVALIDARG, L"An argument is invalid");
    }
}

std::vector<BYTE> fromBase64(const std::wstring& text) {
    return fromBase64(text.data(), text.size());
}

} // namespace cfx::store
