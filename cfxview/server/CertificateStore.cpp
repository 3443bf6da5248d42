#include "server/CertificateStore.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Wine.h"
#include "common/WineKeyContainers.h"
#include "server/ErrorReport.h"
#include "server/StorageProperties.h"

#include <prsht.h> // before cryptuiapi.h, which uses its types
#include <cryptuiapi.h>

namespace cfx::server {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The system store's certificate with this key identifier, or an empty holder
// with the search's error in error.
Certificate searchSystemStore(const std::vector<BYTE>& keyId, const wchar_t* storeName,
                              DWORD& error) {
    CertificateStore store(CertOpenSystemStoreW(0, storeName));
    checkLastError(static_cast<bool>(store));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(keyId.size()), const_cast<BYTE*>(keyId.data())};
    Certificate found(CertFindCertificateInStore(store.get(), kEncoding, 0,
                                                 CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    error = found ? ERROR_SUCCESS : GetLastError();
    return found;
}

std::wstring importFailure(const std::wstring& reason) {
    return L"Unable to install key due to " + reason +
           L"\n\nPlease try to install the key manually.";
}

} // namespace

std::vector<BYTE> readWholeFile(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throwLastError();
    LARGE_INTEGER size{};
    checkLastError(GetFileSizeEx(file.get(), &size));
    if (size.QuadPart > MAXDWORD)
        throw win_except(ERROR_FILE_TOO_LARGE);
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    checkLastError(
        ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr));
    bytes.resize(read);
    return bytes;
}

std::vector<BYTE> certificateProperty(PCCERT_CONTEXT certificate, DWORD propertyId) {
    DWORD size = 0;
    checkLastError(CertGetCertificateContextProperty(certificate, propertyId, nullptr, &size));
    std::vector<BYTE> bytes(size);
    checkLastError(CertGetCertificateContextProperty(certificate, propertyId, bytes.data(), &size));
    bytes.resize(size);
    return bytes;
}

Certificate FindByKeyIdentifier(const std::vector<BYTE>& keyId, const wchar_t* storeName) {
    DWORD error = ERROR_SUCCESS;
    Certificate found = searchSystemStore(keyId, storeName, error);
    if (!found)
        throw win_except(error);
    return found;
}

Certificate FindInstalledKey(IStorageObject* storage) {
    DWORD error = ERROR_SUCCESS;
    return searchSystemStore(readBytesProperty(storage, StorageProperty_KeyId), L"MY", error);
}

std::vector<BYTE> GetKeyIdentifier(PCCERT_CONTEXT certificate) {
    return certificateProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID);
}

std::vector<Certificate> ImportPfxFile(const std::wstring& path, const wchar_t* password) {
    return ImportPfxBlob(readWholeFile(path), password);
}

PrivateKey AcquirePrivateKey(const Certificate& certificate, HWND owner) {
    std::vector<BYTE> info = certificateProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID);
    const auto* provider = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
    PrivateKey key{certificate, {}, {}, owner};
    checkLastError(CryptAcquireContextW(key.provider.put(), provider->pwszContainerName,
                                        provider->pwszProvName, provider->dwProvType, 0));
    if (owner) // the parameter is a pointer to the window handle
        CryptSetProvParam(key.provider.get(), PP_CLIENT_HWND, reinterpret_cast<BYTE*>(&owner), 0);
    checkLastError(CryptGetUserKey(key.provider.get(), AT_KEYEXCHANGE, key.key.put()));
    return key;
}

std::vector<BYTE> DecryptWithPrivateKey(const PrivateKey& key, const std::vector<BYTE>& data) {
    std::vector<BYTE> buffer = data;
    DWORD length = static_cast<DWORD>(buffer.size());
    checkLastError(CryptDecrypt(key.key.get(), 0, TRUE, 0, buffer.data(), &length));
    buffer.resize(length);
    return buffer;
}

bool ViewCertificate(HWND owner, PCCERT_CONTEXT certificate) {
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view{};
    view.dwSize = sizeof view;
    view.hwndParent = owner;
    view.pCertContext = certificate;
    return CryptUIDlgViewCertificateW(&view, nullptr) != FALSE;
}

bool ImportKeyFile(HWND owner, const std::wstring& path, const wchar_t* caption) {
    std::wstring failure;
    try {
        CRYPTUI_WIZ_IMPORT_SRC_INFO source{};
        source.dwSize = sizeof source;
        source.dwSubjectChoice = CRYPTUI_WIZ_IMPORT_SUBJECT_FILE;
        source.pwszFileName = path.c_str();
        source.dwFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_USER_KEYSET;
        // The wizard asks for the password and the destination itself.
        if (CryptUIWizImport(CRYPTUI_WIZ_IMPORT_TO_CURRENTUSER, owner, caption, &source, nullptr)) {
            if (runningUnderWine())
                moveWizardImportedKeysToOwnContainers();
            return true;
        }
        DWORD error = GetLastError();
        if (error == ERROR_CANCELLED)
            return true;
        failure = importFailure(L"the following error:\n\n   " + errorText(error));
    } catch (const win_except& e) {
        failure = importFailure(L"the following error:\n\n   " + errorText(e.code()));
    } catch (...) {
        failure = importFailure(L"undefined error.");
    }
    MessageBoxW(owner, failure.c_str(), caption, MB_ICONERROR);
    return false;
}

void DeleteInstalledCertificate(Certificate certificate) {
    CertificateStore store(CertDuplicateStore(notNull(certificate.get())->hCertStore));
    // The call frees the context whether or not it succeeds.
    checkLastError(CertDeleteCertificateFromStore(certificate.release()));
    // Wine 8 loses a reference to the certificate's registry store in the
    // deletion, so the store is never closed and never writes the deletion
    // back to the registry; committing writes it now.
    if (runningUnderWine())
        checkLastError(CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr));
}

} // namespace cfx::server
