#include "KeyStateRecord.h"

#include "ByteCodec.h"
#include "StoreError.h"

#include "common/Base64.h"

#include <algorithm>
#include <stdexcept>

namespace cfx::store {

namespace {

constexpr char kMagic[4] = {'C', 'F', 'X', 'K'};
constexpr BYTE kVersion = 1;

} // namespace

std::vector<BYTE> KeyStateRecord::encode() const {
    ByteWriter w;
    w.raw(kMagic, sizeof kMagic);
    w.u8(kVersion);
    w.u8(static_cast<BYTE>(kind));
    w.u16(static_cast<WORD>(keyId.size()));
    w.raw(session.data(), session.size());
    w.raw(keyId.data(), keyId.size());
    w.blob(payload);
    return w.take();
}

KeyStateRecord KeyStateRecord::decode(const std::vector<BYTE>& bytes) {
    ByteReader r(bytes.data(), bytes.size(), E_INVALIDARG,
                 L"The key-state record is not in the expected form.");
    if (!std::equal(kMagic, kMagic + sizeof kMagic, r.raw(sizeof kMagic)) || r.u8() != kVersion)
        r.damaged();
    KeyStateRecord record;
    BYTE kind = r.u8();
    if (kind != static_cast<BYTE>(Kind::Request) && kind != static_cast<BYTE>(Kind::Answer))
        r.damaged();
    record.kind = static_cast<Kind>(kind);
    WORD keyIdSize = r.u16();
    std::copy_n(r.raw(8), 8, record.session.begin());
    const BYTE* keyId = r.raw(keyIdSize);
    record.keyId.assign(keyId, keyId + keyIdSize);
    record.payload = r.blob();
    r.expectEnd();
    return record;
}

std::vector<BYTE> keyTextBytes(const std::wstring& text) {
    try {
        return fromBase64(text);
    } catch (const std::invalid_argument&) {
        fail(E_INVALIDARG, L"An argument is invalid");
    }
}

} // namespace cfx::store
