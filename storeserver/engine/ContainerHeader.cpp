#include "ContainerHeader.h"

#include "ItemName.h"

#include <algorithm>
#include <cstring>

namespace cfx::store {

namespace {

constexpr char kMagic[8] = {'C', 'F', 'X', 'S', 'T', 'O', 'R', 'E'};

DWORD crc32(const BYTE* data, size_t size) {
    DWORD crc = ~0u;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

} // namespace

std::vector<BYTE> ContainerHeader::encode() const {
    ByteWriter w;
    w.raw(kMagic, sizeof kMagic);
    w.u16(kVersion);
    w.u16(kCipherSuite);
    w.guid(id);
    w.raw(checkValue.data(), checkValue.size());
    w.blob(keyId);
    w.blob(keyRecord);
    w.time(created);
    w.u32(static_cast<DWORD>(properties.size()));
    for (const auto& [property, value] : properties) {
        w.guid(property);
        value.write(w);
    }
    w.u32(crc32(w.bytes().data(), w.bytes().size()));
    return w.take();
}

ContainerHeader ContainerHeader::decode(const std::vector<BYTE>& bytes, const std::wstring& path) {
    std::wstring damaged =
        L"The storage file " + quoted(path) + L" is damaged: its header cannot be read.";
    DWORD stored = 0;
    if (bytes.size() >= 4)
        std::memcpy(&stored, bytes.data() + bytes.size() - 4, 4);
    if (bytes.size() < 4 || crc32(bytes.data(), bytes.size() - 4) != stored)
        fail(STG_E_DOCFILECORRUPT, damaged);
    ByteReader r(bytes.data(), bytes.size() - 4, STG_E_DOCFILECORRUPT, damaged);
    if (!std::equal(kMagic, kMagic + sizeof kMagic, r.raw(sizeof kMagic)))
        r.damaged();
    WORD version = r.u16();
    WORD suite = r.u16();
    if (version != kVersion || suite != kCipherSuite)
        fail(STG_E_OLDFORMAT, L"The storage file " + quoted(path) +
                                  L" was made by another version of the storage server.");
    ContainerHeader h;
    h.id = r.guid();
    std::copy_n(r.raw(16), 16, h.checkValue.begin());
    h.keyId = r.blob();
    h.keyRecord = r.blob();
    h.created = r.time();
    DWORD count = r.u32();
    for (DWORD i = 0; i < count; ++i) {
        GUID property = r.guid();
        h.properties.emplace_back(property, PropertyValue::read(r));
    }
    r.expectEnd();
    return h;
}

const PropertyValue* ContainerHeader::find(const GUID& property) const {
    for (const auto& entry : properties)
        if (entry.first == property)
            return &entry.second;
    return nullptr;
}

void ContainerHeader::set(const GUID& property, const PropertyValue& value) {
    for (auto& entry : properties)
        if (entry.first == property) {
            entry.second = value;
            return;
        }
    properties.emplace_back(property, value);
}

bool ContainerHeader::remove(const GUID& property) {
    auto found = std::find_if(properties.begin(), properties.end(),
                              [&](const auto& entry) { return entry.first == property; });
    if (found == properties.end())
        return false;
    properties.erase(found);
    return true;
}

} // namespace cfx::store
