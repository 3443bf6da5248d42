#include "common/WineKeyContainers.h"

#include "common/Exceptions.h"

#include <string>

namespace cfx {

namespace {

bool readProperty(PCCERT_CONTEXT certificate, DWORD propertyId, std::vector<BYTE>& bytes) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, propertyId, nullptr, &size))
        return false;
    bytes.resize(size);
    return CertGetCertificateContextProperty(certificate, propertyId, bytes.data(), &size) != FALSE;
}

// A private key in transit, wiped when it is no longer needed.
struct KeyBlob {
    std::vector<BYTE> bytes;
    ~KeyBlob() { SecureZeroMemory(bytes.data(), bytes.size()); }
};

std::wstring containerNameFor(const std::vector<BYTE>& keyId) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring name;
    for (BYTE byte : keyId) {
        name += kDigits[byte >> 4];
        name += kDigits[byte & 15];
    }
    return name;
}

// True when the provider's key-exchange key is the certificate's public key.
bool holdsKeyOf(HCRYPTPROV provider, PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size))
        return false;
    std::vector<BYTE> info(size);
    auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    return CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, publicKey,
                                    &size) &&
           CertComparePublicKeyInfo(X509_ASN_ENCODING,
                                    &certificate->pCertInfo->SubjectPublicKeyInfo, publicKey);
}

// Moves the certificate's private key from the container its key provider
// information names, when that container still holds it, into a new one.
// Certificates without a key identifier cannot be storage keys: left alone.
void moveToOwnContainer(PCCERT_CONTEXT certificate) {
    std::vector<BYTE> keyId, infoBytes;
    if (!readProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID, keyId) ||
        !readProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, infoBytes))
        return;
    CRYPT_KEY_PROV_INFO info = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBytes.data());
    std::wstring own = containerNameFor(keyId);
    if (info.pwszContainerName && lstrcmpiW(info.pwszContainerName, own.c_str()) == 0)
        return;
    const DWORD keyset = info.dwFlags & CRYPT_MACHINE_KEYSET;

    CryptProvider source;
    checkLastError(CryptAcquireContextW(source.put(), info.pwszContainerName, info.pwszProvName,
                                        info.dwProvType, keyset));
    if (!holdsKeyOf(source.get(), certificate))
        return;
    CryptKey key;
    checkLastError(CryptGetUserKey(source.get(), AT_KEYEXCHANGE, key.put()));
    KeyBlob blob;
    DWORD size = 0;
    checkLastError(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    blob.bytes.resize(size);
    checkLastError(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, blob.bytes.data(), &size));

    CryptProvider target;
    if (!CryptAcquireContextW(target.put(), own.c_str(), info.pwszProvName, info.dwProvType,
                              CRYPT_NEWKEYSET | keyset)) {
        // The same key imported again finds its container from the last time.
        if (GetLastError() != static_cast<DWORD>(NTE_EXISTS))
            throwLastError();
        checkLastError(CryptAcquireContextW(target.put(), own.c_str(), info.pwszProvName,
                                            info.dwProvType, keyset));
    }
    CryptKey moved;
    checkLastError(
        CryptImportKey(target.get(), blob.bytes.data(), size, 0, CRYPT_EXPORTABLE, moved.put()));

    info.pwszContainerName = own.data();
    info.dwKeySpec = AT_KEYEXCHANGE;
    checkLastError(
        CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
}

// The name of the user's default container of the provider Wine imports
// keys with; empty when there is none yet.
std::wstring defaultContainerName() {
    CryptProvider provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0))
        return {};
    DWORD size = 0;
    checkLastError(CryptGetProvParam(provider.get(), PP_CONTAINER, nullptr, &size, 0));
    std::string name(size, '\0');
    checkLastError(CryptGetProvParam(provider.get(), PP_CONTAINER,
                                     reinterpret_cast<BYTE*>(name.data()), &size, 0));
    name.resize(std::char_traits<char>::length(name.c_str()));
    int length =
        MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
    return wide;
}

} // namespace

void moveImportedKeysToOwnContainers(const std::vector<Certificate>& imported) {
    for (const Certificate& certificate : imported)
        moveToOwnContainer(certificate.get());
}

void moveWizardImportedKeysToOwnContainers() {
    std::wstring defaultName = defaultContainerName();
    if (defaultName.empty())
        return;
    CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    checkLastError(static_cast<bool>(store));
    std::vector<BYTE> infoBytes;
    Certificate current; // the enumeration's own reference, passed back to it
    while ((current = Certificate(CertEnumCertificatesInStore(store.get(), current.release())))) {
        if (!readProperty(current.get(), CERT_KEY_PROV_INFO_PROP_ID, infoBytes))
            continue;
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBytes.data());
        if (info->pwszContainerName && lstrcmpiW(info->pwszContainerName, defaultName.c_str()) == 0)
            moveToOwnContainer(current.get());
    }
}

} // namespace cfx
