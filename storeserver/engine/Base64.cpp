#include "Base64.h"

#include "StoreError.h"

namespace cfx::store {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

} // namespace

std::wstring toBase64(const BYTE* bytes, size_t size) {
    std::wstring text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        unsigned v = static_cast<unsigned>(bytes[i]) << 16;
        if (i + 1 < size)
            v |= static_cast<unsigned>(bytes[i + 1]) << 8;
        if (i + 2 < size)
            v |= bytes[i + 2];
        text += static_cast<wchar_t>(kAlphabet[(v >> 18) & 63]);
        text += static_cast<wchar_t>(kAlphabet[(v >> 12) & 63]);
        text += i + 1 < size ? static_cast<wchar_t>(kAlphabet[(v >> 6) & 63]) : L'=';
        text += i + 2 < size ? static_cast<wchar_t>(kAlphabet[v & 63]) : L'=';
    }
    return text;
}

std::wstring toBase64(const std::vector<BYTE>& bytes) {
    return toBase64(bytes.data(), bytes.size());
}

std::vector<BYTE> fromBase64(const wchar_t* text, size_t length) {
    std::vector<BYTE> bytes;
    bytes.reserve(length / 4 * 3 + 3);
    unsigned accumulator = 0;
    int bits = 0;
    size_t digits = 0;
    for (size_t i = 0; i < length; ++i) {
        int v = valueOf(text[i]);
        if (v < 0)
            continue;
        ++digits;
        accumulator = (accumulator << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<BYTE>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    if (digits % 4 == 1)
        fail(E_INVALIDARG, L"An argument is invalid");
    return bytes;
}

std::vector<BYTE> fromBase64(const std::wstring& text) {
    return fromBase64(text.data(), text.size());
}

} // namespace cfx::store
