#include "StorageKey.h"

#include "StorageTarget.h"

#include "common/Base64.h"
#include "common/Exceptions.h"
#include "common/PfxImport.h"

#include <stdexcept>

namespace cfx::wizard {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Key files are small; anything far larger is not one.
constexpr LONGLONG kLargestKeyFile = 16 << 20;

bool hasProperty(PCCERT_CONTEXT certificate, DWORD id) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(certificate, id, nullptr, &size) != FALSE;
}

bool hasPrivateKey(PCCERT_CONTEXT certificate) {
    return hasProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID) ||
           hasProperty(certificate, CERT_KEY_CONTEXT_PROP_ID);
}

cfx::CertificateStore openMy() {
    cfx::CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    if (!store)
        cfx::throwLastError();
    return store;
}

std::wstring nameOf(PCCERT_CONTEXT certificate, DWORD flags) {
    wchar_t name[512] = L"";
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, 512);
    return name;
}

std::wstring dateOf(const FILETIME& time) {
    SYSTEMTIME date{};
    FileTimeToSystemTime(&time, &date);
    wchar_t text[16];
    swprintf(text, 16, L"%04u-%02u-%02u", date.wYear, date.wMonth, date.wDay);
    return text;
}

cfx::CertificateStore importForCheck(std::vector<BYTE>& bytes, const wchar_t* password) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    // The key lives only as long as the memory store: nothing is installed yet.
    constexpr DWORD kFlags = PKCS12_NO_PERSIST_KEY;
    SetLastError(ERROR_SUCCESS);
    cfx::CertificateStore store(PFXImportCertStore(&blob, password ? password : L"", kFlags));
    if (!store && !password)
        store.reset(PFXImportCertStore(&blob, nullptr, kFlags));
    return store;
}

} // namespace

std::wstring subjectOf(PCCERT_CONTEXT certificate) {
    return nameOf(certificate, 0);
}

std::wstring keyIdOf(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID, nullptr,
                                           &size))
        return {};
    std::vector<BYTE> id(size);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID, id.data(),
                                           &size))
        return {};
    id.resize(size);
    return cfx::toBase64(id);
}

std::vector<InstalledKey> installedKeys() {
    cfx::CertificateStore my = openMy();
    std::vector<InstalledKey> keys;
    cfx::Certificate current; // the enumeration's own reference, passed back to it
    while ((current = cfx::Certificate(CertEnumCertificatesInStore(my.get(), current.release())))) {
        if (!hasPrivateKey(current.get()) || keyIdOf(current.get()).empty())
            continue;
        InstalledKey key{current, subjectOf(current.get()), {}};
        key.shown = key.subject + L" (issued by " + nameOf(current.get(), CERT_NAME_ISSUER_FLAG) +
                    L", valid until " + dateOf(current.get()->pCertInfo->NotAfter) + L")";
        keys.push_back(std::move(key));
    }
    return keys;
}

int findInstalledKey(const std::vector<InstalledKey>& keys, const std::wstring& text) {
    using Field = std::wstring InstalledKey::*;
    for (Field field : {&InstalledKey::shown, &InstalledKey::subject}) {
        int found = -1, count = 0;
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i].*field == text)
                found = static_cast<int>(i), ++count;
        if (count == 1)
            return found;
        if (count > 1)
            return -1;
    }
    return -1;
}

cfx::Certificate installedKeyById(const std::wstring& keyId) {
    std::vector<BYTE> bytes;
    try {
        bytes = cfx::fromBase64(keyId);
    } catch (const std::invalid_argument&) {
        bytes.clear(); // said below
    }
    if (bytes.empty())
        throw cfx::DescribedError(E_INVALIDARG,
                                  L"The key identifier " + quoted(keyId) + L" is not Base64 text.");
    cfx::CertificateStore my = openMy();
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    cfx::Certificate found(CertFindCertificateInStore(my.get(), kEncoding, 0,
                                                      CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    if (!found || !hasPrivateKey(found.get()))
        throw cfx::DescribedError(CRYPT_E_NOT_FOUND,
                                  L"None of your installed certificates with a private key has "
                                  L"the key identifier " +
                                      keyId + L".");
    return found;
}

std::vector<BYTE> readKeyFile(const std::wstring& path) {
    cfx::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        cfx::throwLastError();
    LARGE_INTEGER size{};
    cfx::checkLastError(GetFileSizeEx(file.get(), &size));
    if (size.QuadPart > kLargestKeyFile)
        throw cfx::DescribedError(CRYPT_E_BAD_ENCODE,
                                  L"The file " + quoted(path) + L" is too large to be a key file.");
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty())
        cfx::checkLastError(
            ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr));
    bytes.resize(got);
    return bytes;
}

ChosenKey openKeyFile(const std::wstring& keyFile, const std::optional<std::wstring>& password) {
    std::vector<BYTE> bytes = readKeyFile(keyFile);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    if (!PFXIsPFXBlob(&blob))
        throw cfx::DescribedError(CRYPT_E_BAD_ENCODE,
                                  L"The file " + quoted(keyFile) + L" is not a key file (.pfx).");
    cfx::CertificateStore store = importForCheck(bytes, password ? password->c_str() : nullptr);
    if (!store) {
        // Wine reports a wrong password with no error code at all.
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS || error == ERROR_INVALID_PASSWORD ||
            error == static_cast<DWORD>(NTE_BAD_DATA))
            throw cfx::DescribedError(HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD),
                                      password ? L"The password of the key file is wrong."
                                               : L"The key file needs its password.");
        cfx::throwLastError();
    }
    cfx::Certificate current;
    while (
        (current = cfx::Certificate(CertEnumCertificatesInStore(store.get(), current.release())))) {
        if (hasPrivateKey(current.get()) && !keyIdOf(current.get()).empty())
            return ChosenKey{current, keyFile, password};
    }
    throw cfx::DescribedError(CRYPT_E_NO_KEY_PROPERTY, L"No certificate of the key file " +
                                                           quoted(keyFile) +
                                                           L" has a private key.");
}

void installKeyFile(const ChosenKey& key) {
    std::vector<BYTE> bytes = readKeyFile(key.keyFile);
    std::vector<cfx::Certificate> imported =
        cfx::ImportPfxBlob(bytes, key.password ? key.password->c_str() : nullptr);
    cfx::CertificateStore my = openMy();
    for (const cfx::Certificate& certificate : imported) {
        if (hasPrivateKey(certificate.get()))
            cfx::checkLastError(CertAddCertificateContextToStore(
                my.get(), certificate.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    }
}

} // namespace cfx::wizard
