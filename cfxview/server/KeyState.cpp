#include "server/KeyState.h"

#include "common/Exceptions.h"
#include "common/Handles.h"

#include <cstring>

namespace cfx::server {

namespace {

constexpr size_t kHeaderSize = 16; // magic, version, kind, key id length, session
constexpr BYTE kMagic[4] = {'C', 'F', 'X', 'K'};
constexpr BYTE kVersion = 1;
constexpr BYTE kRequest = 1;
constexpr BYTE kAnswer = 2;

size_t keyIdLength(const std::vector<BYTE>& record) {
    if (record.size() < kHeaderSize)
        raise(E_UNEXPECTED);
    size_t length = record[6] | static_cast<size_t>(record[7]) << 8;
    if (record.size() < kHeaderSize + length)
        raise(E_UNEXPECTED);
    return length;
}

DWORD readLength(const BYTE* at) {
    return at[0] | static_cast<DWORD>(at[1]) << 8 | static_cast<DWORD>(at[2]) << 16 |
           static_cast<DWORD>(at[3]) << 24;
}

void appendLength(std::vector<BYTE>& out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<BYTE>(value >> shift));
}

} // namespace

std::vector<BYTE> protectingKeyId(const std::vector<BYTE>& record) {
    const size_t length = keyIdLength(record);
    return std::vector<BYTE>(record.begin() + kHeaderSize,
                             record.begin() + static_cast<ptrdiff_t>(kHeaderSize + length));
}

std::vector<BYTE> answerKeyState(const std::vector<BYTE>& request,
                                 const std::vector<BYTE>& storageKey) {
    const size_t prefix = kHeaderSize + keyIdLength(request);
    if (std::memcmp(request.data(), kMagic, sizeof kMagic) != 0 || request[4] != kVersion ||
        request[5] != kRequest || request.size() < prefix + 4)
        raise(E_UNEXPECTED);
    const DWORD payloadSize = readLength(request.data() + prefix);
    if (request.size() - prefix - 4 < payloadSize)
        raise(E_UNEXPECTED);

    // The session key is a public key only: a verification context holds it.
    CryptProvider provider;
    checkLastError(
        CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    CryptKey sessionKey;
    checkLastError(CryptImportKey(provider.get(), request.data() + prefix + 4, payloadSize, 0, 0,
                                  sessionKey.put()));
    DWORD bits = 0, size = sizeof bits;
    checkLastError(
        CryptGetKeyParam(sessionKey.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0));
    std::vector<BYTE> wrapped((bits + 7) / 8);
    if (wrapped.size() < storageKey.size())
        raise(E_UNEXPECTED);
    std::memcpy(wrapped.data(), storageKey.data(), storageKey.size());
    DWORD length = static_cast<DWORD>(storageKey.size());
    checkLastError(CryptEncrypt(sessionKey.get(), 0, TRUE, 0, wrapped.data(), &length,
                                static_cast<DWORD>(wrapped.size())));
    wrapped.resize(length);

    std::vector<BYTE> answer(request.begin(), request.begin() + static_cast<ptrdiff_t>(prefix));
    answer[5] = kAnswer;
    appendLength(answer, length);
    answer.insert(answer.end(), wrapped.begin(), wrapped.end());
    return answer;
}

} // namespace cfx::server
