#include "common/Base64.h"

#include <stdexcept>

namespace cfx {

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

std::wstring toBase64(const std::vector<BYTE>& bytes) {
    return toBase64(bytes.data(), bytes.size());
}

std::wstring toBase64(const BYTE* bytes, size_t size) {
    std::wstring text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        size_t left = size - i;
        unsigned group = static_cast<unsigned>(bytes[i]) << 16;
        if (left > 1)
            group |= static_cast<unsigned>(bytes[i + 1]) << 8;
        if (left > 2)
            group |= bytes[i + 2];
        text += static_cast<wchar_t>(kAlphabet[group >> 18]);
        text += static_cast<wchar_t>(kAlphabet[(group >> 12) & 63]);
        text += left > 1 ? static_cast<wchar_t>(kAlphabet[(group >> 6) & 63]) : L'=';
        text += left > 2 ? static_cast<wchar_t>(kAlphabet[group & 63]) : L'=';
    }
    return text;
}

std::vector<BYTE> fromBase64(const std::wstring& text) {
    std::vector<BYTE> bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    unsigned accumulator = 0;
    int bits = 0;
    size_t digits = 0;
    for (wchar_t c : text) {
        int value = valueOf(c);
        if (value < 0)
            continue;
        ++digits;
        accumulator = (accumulator << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<BYTE>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    // One character of a group carries only six bits: not even one byte.
    if (digits % 4 == 1)
        throw std::invalid_argument("An argument is invalid");
    return bytes;
}

} // namespace cfx
