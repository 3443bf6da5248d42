#include "Certificates.h"

#include "ToolError.h"

#include "StoreError.h"

#include "common/Base64.h"
#include "common/PfxImport.h"

using cfx::store::quoted;

namespace cfx::tool {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Key files are small; anything far larger is not one.
constexpr LONGLONG kLargestKeyFile = 16 << 20;

std::vector<BYTE> propertyOf(PCCERT_CONTEXT certificate, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, id, nullptr, &size))
        return {};
    std::vector<BYTE> value(size);
    if (!CertGetCertificateContextProperty(certificate, id, value.data(), &size))
        return {};
    value.resize(size);
    return value;
}

std::vector<Certificate> certificatesOf(HCERTSTORE store) {
    std::vector<Certificate> all;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
        all.emplace_back(CertDuplicateCertificateContext(c));
    return all;
}

Certificate findPreferringKey(HCERTSTORE store, DWORD type, const void* what) {
    Certificate first;
    for (PCCERT_CONTEXT c = nullptr;
         (c = CertFindCertificateInStore(store, kEncoding, 0, type, what, c)) != nullptr;) {
        if (hasPrivateKey(c))
            return Certificate(c); // the search stops here: the context is ours
        if (!first)
            first.reset(CertDuplicateCertificateContext(c));
    }
    return first;
}

} // namespace

std::vector<BYTE> readFileBytes(const std::wstring& path) {
    const std::wstring action = L"reading " + quoted(path);
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        failLastError(action);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
        failLastError(action);
    if (size.QuadPart > kLargestKeyFile)
        fail(action, E_INVALIDARG, L"The file is too large to be a key file.");
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
        failLastError(action);
    bytes.resize(got);
    return bytes;
}

CertificateStore importPfx(const std::wstring& file, const std::optional<std::wstring>& password,
                           DWORD flags) {
    std::vector<BYTE> bytes = readFileBytes(file);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    const std::wstring action = L"importing the key file " + quoted(file);
    if (!PFXIsPFXBlob(&blob))
        fail(action, CRYPT_E_BAD_ENCODE, L"The file is not a PKCS#12 (.pfx) key file.");
    CertificateStore store;
    if (password) {
        store.reset(PFXImportCertStore(&blob, password->c_str(), flags));
    } else {
        store.reset(PFXImportCertStore(&blob, L"", flags));
        if (!store)
            store.reset(PFXImportCertStore(&blob, nullptr, flags));
    }
    if (!store) {
        // Wine reports a wrong password with no error code at all.
        DWORD error = GetLastError();
        if (error == 0 || error == ERROR_INVALID_PASSWORD)
            fail(action, HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD),
                 password ? L"The password is wrong." : L"The key file needs a password.",
                 kExitKeyUnavailable);
        failLastError(action, kExitKeyUnavailable);
    }
    return store;
}

CertificateStore openMyStore() {
    CertificateStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
    if (!store)
        failLastError(L"opening the current user's \"MY\" certificate store", kExitKeyUnavailable);
    return store;
}

bool hasPrivateKey(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                             &size) ||
           CertGetCertificateContextProperty(certificate, CERT_KEY_CONTEXT_PROP_ID, nullptr, &size);
}

Certificate certificateWithKey(HCERTSTORE store, const std::wstring& source) {
    for (auto& certificate : certificatesOf(store))
        if (hasPrivateKey(certificate.get()))
            return std::move(certificate);
    fail(L"finding a certificate in " + quoted(source), CRYPT_E_NO_KEY_PROPERTY,
         L"No certificate of the key file has a private key.", kExitKeyUnavailable);
}

Certificate findByKeyId(HCERTSTORE store, const std::wstring& keyId) {
    std::vector<BYTE> bytes;
    try {
        bytes = fromBase64(keyId);
    } catch (...) {
        bytes.clear();
    }
    if (bytes.empty())
        throw UsageError(L"--key-id takes a key identifier in Base64");
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    Certificate found = findPreferringKey(store, CERT_FIND_KEY_IDENTIFIER, &blob);
    if (!found)
        fail(L"finding the certificate with key identifier " + keyId, CRYPT_E_NOT_FOUND,
             L"The current user's \"MY\" store has no such certificate.", kExitKeyUnavailable);
    return found;
}

Certificate findBySubject(HCERTSTORE store, const std::wstring& subject) {
    Certificate found = findPreferringKey(store, CERT_FIND_SUBJECT_STR_W, subject.c_str());
    if (!found)
        fail(L"finding the certificate of " + quoted(subject), CRYPT_E_NOT_FOUND,
             L"No certificate of the current user's \"MY\" store has such a subject.",
             kExitKeyUnavailable);
    return found;
}

std::wstring subjectOf(PCCERT_CONTEXT certificate) {
    wchar_t name[512] = L"";
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512);
    return name;
}

std::wstring keyIdOf(PCCERT_CONTEXT certificate) {
    return toBase64(propertyOf(certificate, CERT_KEY_IDENTIFIER_PROP_ID));
}

std::vector<Certificate> installPfx(const std::wstring& file,
                                    const std::optional<std::wstring>& password) {
    const std::wstring action = L"installing " + quoted(file);
    std::vector<BYTE> bytes = readFileBytes(file);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    if (!PFXIsPFXBlob(&blob))
        fail(action, CRYPT_E_BAD_ENCODE, L"The file is not a PKCS#12 (.pfx) key file.");
    // The library's import, which under Wine also gives each key a container
    // of its own (Wine's import keeps every key in one default container).
    std::vector<Certificate> imported;
    try {
        imported = ImportPfxBlob(bytes, password ? password->c_str() : nullptr);
    } catch (...) {
        rethrowAs(action, kExitKeyUnavailable);
    }
    CertificateStore my = openMyStore();
    std::vector<Certificate> installed;
    for (const Certificate& certificate : imported) {
        if (!hasPrivateKey(certificate.get()))
            continue;
        Certificate added;
        if (!CertAddCertificateContextToStore(my.get(), certificate.get(),
                                              CERT_STORE_ADD_REPLACE_EXISTING, added.put()))
            failLastError(L"adding " + quoted(subjectOf(certificate.get())) +
                          L" to the current user's \"MY\" store");
        installed.push_back(std::move(added));
    }
    if (installed.empty())
        fail(action, CRYPT_E_NO_KEY_PROPERTY, L"No certificate of the key file has a private key.",
             kExitKeyUnavailable);
    return installed;
}

} // namespace cfx::tool
