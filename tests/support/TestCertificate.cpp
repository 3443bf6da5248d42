#include "support/TestCertificate.h"

#include <wincrypt.h>

namespace cfx::test {

namespace {

constexpr wchar_t kKeyContainer[] = L"cfx test certificate";

// The container's provider: a new one, or the one a kept prefix
// (CFX_WINE_PREFIX) has from an earlier run.
HCRYPTPROV acquireProvider() {
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextW(&provider, kKeyContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return provider;
    if (GetLastError() == static_cast<DWORD>(NTE_EXISTS) &&
        CryptAcquireContextW(&provider, kKeyContainer, nullptr, PROV_RSA_FULL, 0))
        return provider;
    return 0;
}

// Fills result from a new self-signed certificate for the provider's key.
void makeCertificate(HCRYPTPROV provider, TestCertificate& result) {
    DWORD infoSize = 0;
    if (!CryptExportPublicKeyInfo(provider, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &infoSize))
        return;
    std::vector<BYTE> info(infoSize);
    auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    BYTE keyId[20];
    DWORD keyIdSize = sizeof keyId;
    CRYPT_DATA_BLOB keyIdBlob{sizeof keyId, keyId};
    BYTE extensionValue[64], name[128];
    DWORD extensionSize = sizeof extensionValue, nameSize = sizeof name;
    if (!CryptExportPublicKeyInfo(provider, AT_SIGNATURE, X509_ASN_ENCODING, publicKey,
                                  &infoSize) ||
        !CryptHashPublicKeyInfo(0, CALG_SHA1, 0, X509_ASN_ENCODING, publicKey, keyId, &keyIdSize) ||
        !CryptEncodeObject(X509_ASN_ENCODING, szOID_SUBJECT_KEY_IDENTIFIER, &keyIdBlob,
                           extensionValue, &extensionSize) ||
        !CertStrToNameW(X509_ASN_ENCODING, L"CN=Storage test", CERT_X500_NAME_STR, nullptr, name,
                        &nameSize, nullptr))
        return;
    CERT_EXTENSION extension{
        const_cast<char*>(szOID_SUBJECT_KEY_IDENTIFIER), FALSE, {extensionSize, extensionValue}};
    CERT_EXTENSIONS extensions{1, &extension};
    CERT_NAME_BLOB subject{nameSize, name};
    PCCERT_CONTEXT context = CertCreateSelfSignCertificate(provider, &subject, 0, nullptr, nullptr,
                                                           nullptr, nullptr, &extensions);
    if (!context)
        return;
    result.encoded.assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
    result.keyIdBase64 = base64(keyId, keyIdSize);
    result.encodedBase64 = base64(context->pbCertEncoded, context->cbCertEncoded);
    CertFreeCertificateContext(context);
}

} // namespace

std::wstring base64(const BYTE* bytes, DWORD size) {
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD length = 0;
    CryptBinaryToStringW(bytes, size, flags, nullptr, &length);
    std::wstring result(length, L'\0');
    CryptBinaryToStringW(bytes, size, flags, result.data(), &length);
    result.resize(length);
    return result;
}

const TestCertificate& testCertificate() {
    static const TestCertificate made = [] {
        TestCertificate result;
        HCRYPTPROV provider = acquireProvider();
        if (!provider)
            return result;
        HCRYPTKEY key = 0;
        if (CryptGenKey(provider, AT_SIGNATURE, 0, &key)) {
            makeCertificate(provider, result);
            CryptDestroyKey(key);
        }
        CryptReleaseContext(provider, 0);
        return result;
    }();
    return made;
}

} // namespace cfx::test
