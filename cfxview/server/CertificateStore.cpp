#include "server/CertificateStore.h"

#include "module/Exceptions.h"
#include "module/Handles.h"
#include "server/ErrorObjectHook.h"
#include "server/ErrorReport.h"
#include "server/StorageProperties.h"
#include "server/WineKeyContainers.h"

#include <prsht.h> // before cryptuiapi.h, which uses its types
#include <cryptuiapi.h>

namespace cfx {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void checkCall(BOOL succeeded) {
    if (!succeeded)
        tools::throw_last_error();
}

// The system store's certificate with this key identifier, or an empty holder
// with the search's error in error.
Certificate searchSystemStore(const std::vector<BYTE>& keyId, const wchar_t* storeName,
                              DWORD& error) {
    CertificateStore store(CertOpenSystemStoreW(0, storeName));
    checkCall(static_cast<bool>(store));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(keyId.size()), const_cast<BYTE*>(keyId.data())};
    Certificate found(CertFindCertificateInStore(store.get(), kEncoding, 0,
                                                 CERT_FIND_KEY_IDENTIFIER, &blob, nullptr));
    error = found ? ERROR_SUCCESS : GetLastError();
    return found;
}

std::vector<BYTE> readFile(const std::wstring& path) {
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        tools::throw_last_error();
    KernelHandle file(opened);
    LARGE_INTEGER size{};
    checkCall(GetFileSizeEx(file.get(), &size));
    if (size.QuadPart > MAXDWORD)
        throw tools::win_except(ERROR_FILE_TOO_LARGE);
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    checkCall(ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr));
    bytes.resize(read);
    return bytes;
}

std::wstring importFailure(const std::wstring& reason) {
    return L"Unable to install key due to " + reason +
           L"\n\nPlease try to install the key manually.";
}

} // namespace

std::vector<BYTE> GetCertificateProperty(PCCERT_CONTEXT certificate, DWORD propertyId) {
    DWORD size = 0;
    checkCall(CertGetCertificateContextProperty(certificate, propertyId, nullptr, &size));
    std::vector<BYTE> bytes(size);
    checkCall(CertGetCertificateContextProperty(certificate, propertyId, bytes.data(), &size));
    bytes.resize(size);
    return bytes;
}

Certificate FindByKeyIdentifier(const std::vector<BYTE>& keyId, const wchar_t* storeName) {
    DWORD error = ERROR_SUCCESS;
    Certificate found = searchSystemStore(keyId, storeName, error);
    if (!found)
        throw tools::win_except(error);
    return found;
}

Certificate FindInstalledKey(IStorageObject* storage) {
    DWORD error = ERROR_SUCCESS;
    return searchSystemStore(readBytesProperty(storage, StorageProperty_KeyId), L"MY", error);
}

std::vector<BYTE> GetKeyIdentifier(PCCERT_CONTEXT certificate) {
    return GetCertificateProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID);
}

std::vector<Certificate> ImportPfxBlob(const std::vector<BYTE>& pfx, const wchar_t* password) {
    constexpr DWORD kFlags = CRYPT_EXPORTABLE | CRYPT_USER_KEYSET;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), const_cast<BYTE*>(pfx.data())};
    // Wine's import fails without setting an error code (a wrong password
    // among others): a code of 0 would read as success to whoever catches it.
    SetLastError(ERROR_SUCCESS);
    CertificateStore imported(PFXImportCertStore(&blob, password ? password : L"", kFlags));
    // Files written without a password differ in whether they want the empty
    // one or none at all.
    if (!imported && !password)
        imported.reset(PFXImportCertStore(&blob, nullptr, kFlags));
    if (!imported) {
        DWORD error = GetLastError();
        throw tools::win_except(error != ERROR_SUCCESS ? error : ERROR_INVALID_PASSWORD);
    }

    std::vector<Certificate> certificates;
    Certificate current; // the enumeration's own reference, passed back to it
    while ((current = Certificate(CertEnumCertificatesInStore(imported.get(), current.release()))))
        certificates.push_back(current);
    if (runningUnderWine())
        moveImportedKeysToOwnContainers(certificates);
    return certificates;
}

std::vector<Certificate> ImportPfxFile(const std::wstring& path, const wchar_t* password) {
    return ImportPfxBlob(readFile(path), password);
}

PrivateKey AcquirePrivateKey(const Certificate& certificate, HWND owner) {
    std::vector<BYTE> info = GetCertificateProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID);
    const auto* provider = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
    PrivateKey key{certificate, {}, {}, owner};
    checkCall(CryptAcquireContextW(key.provider.put(), provider->pwszContainerName,
                                   provider->pwszProvName, provider->dwProvType, 0));
    if (owner) // the parameter is a pointer to the window handle
        CryptSetProvParam(key.provider.get(), PP_CLIENT_HWND, reinterpret_cast<BYTE*>(&owner), 0);
    checkCall(CryptGetUserKey(key.provider.get(), AT_KEYEXCHANGE, key.key.put()));
    return key;
}

std::vector<BYTE> DecryptWithPrivateKey(const PrivateKey& key, const std::vector<BYTE>& data) {
    std::vector<BYTE> buffer = data;
    DWORD length = static_cast<DWORD>(buffer.size());
    checkCall(CryptDecrypt(key.key.get(), 0, TRUE, 0, buffer.data(), &length));
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
    } catch (const tools::win_except& e) {
        failure = importFailure(L"the following error:\n\n   " + errorText(e.code()));
    } catch (...) {
        failure = importFailure(L"undefined error.");
    }
    MessageBoxW(owner, failure.c_str(), caption, MB_ICONERROR);
    return false;
}

void DeleteInstalledCertificate(Certificate certificate) {
    CertificateStore store(CertDuplicateStore(not_null(certificate.get())->hCertStore));
    // The call frees the context whether or not it succeeds.
    checkCall(CertDeleteCertificateFromStore(certificate.release()));
    // Wine 8 loses a reference to the certificate's registry store in the
    // deletion, so the store is never closed and never writes the deletion
    // back to the registry; committing writes it now.
    if (runningUnderWine())
        checkCall(CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr));
}

} // namespace cfx
