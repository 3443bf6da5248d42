// The container's plaintext record (the stream "Header"): what must be
// readable before the storage is unlocked. It holds the storage's identity,
// the certificate's key identifier, the key record, the key check value and
// the storage-level properties a client may change without the key (Frozen,
// Flags, AttachedKey). Nothing in it is secret; a CRC-32 recognises damage.
#pragma once

#include "Aes256.h"
#include "PropertyValue.h"

#include <windows.h>

#include <utility>
#include <vector>

namespace cfx::store {

struct ContainerHeader {
    static constexpr WORD kVersion = 1;
    // AES-256-CTR contents, AES-256-CMAC catalog, RSA PKCS#1 v1.5 key record.
    static constexpr WORD kCipherSuite = 1;

    GUID id{};
    Block checkValue{};
    std::vector<BYTE> keyId;
    std::vector<BYTE> keyRecord;
    FILETIME created{};
    // The open storage-level properties, in the order they were first set.
    std::vector<std::pair<GUID, PropertyValue>> properties;

    std::vector<BYTE> encode() const;
    // Raises STG_E_DOCFILECORRUPT, naming the path, for a damaged record.
    static ContainerHeader decode(const std::vector<BYTE>& bytes, const std::wstring& path);

    const PropertyValue* find(const GUID& property) const;
    void set(const GUID& property, const PropertyValue& value);
    bool remove(const GUID& property);
};

} // namespace cfx::store
