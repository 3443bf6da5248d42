#include "StoreTestSupport.h"

#include "common/Handles.h"
#include "KeyClient.h"
#include "StoreError.h"

#include "cfxstorage.h"

#include <shellapi.h>

#include <fstream>
#include <iterator>
#include <random>

namespace cfx::store::test {

namespace {

KeyCertificate makeCertificate(const wchar_t* container, const wchar_t* subject) {
    KeyCertificate made;
    CryptProvider provider;
    CryptKey key;
    alignas(8) BYTE info[1024];
    auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info);
    BYTE keyId[20], extensionValue[64], name[256];
    DWORD infoSize = sizeof info, keyIdSize = sizeof keyId, extensionSize = sizeof extensionValue,
          nameSize = sizeof name;
    CRYPT_DATA_BLOB keyIdBlob{sizeof keyId, keyId};
    if (!(CryptAcquireContextW(provider.put(), container, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET) ||
          CryptAcquireContextW(provider.put(), container, nullptr, PROV_RSA_AES, 0)) ||
        !CryptGenKey(provider.get(), AT_KEYEXCHANGE, 2048u << 16, key.put()) ||
        !CryptExportPublicKeyInfo(provider.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING, publicKey,
                                  &infoSize) ||
        !CryptHashPublicKeyInfo(0, CALG_SHA1, 0, X509_ASN_ENCODING, publicKey, keyId, &keyIdSize) ||
        !CryptEncodeObject(X509_ASN_ENCODING, szOID_SUBJECT_KEY_IDENTIFIER, &keyIdBlob,
                           extensionValue, &extensionSize) ||
        !CertStrToNameW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, name, &nameSize,
                        nullptr))
        ADD_FAILURE() << "no RSA key: " << GetLastError();
    CERT_EXTENSION extension{
        const_cast<char*>(szOID_SUBJECT_KEY_IDENTIFIER), FALSE, {extensionSize, extensionValue}};
    CERT_EXTENSIONS extensions{1, &extension};
    CERT_NAME_BLOB subjectBlob{nameSize, name};
    CRYPT_KEY_PROV_INFO keyInfo{
        const_cast<wchar_t*>(container), nullptr, PROV_RSA_AES, 0, 0, nullptr, AT_KEYEXCHANGE};
    Certificate certificate(CertCreateSelfSignCertificate(provider.get(), &subjectBlob, 0, &keyInfo,
                                                          nullptr, nullptr, nullptr, &extensions));
    CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    PCCERT_CONTEXT added = nullptr;
    if (!certificate || !store ||
        !CertAddCertificateContextToStore(store.get(), certificate.get(),
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added) ||
        !CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &keyInfo)) {
        ADD_FAILURE() << "certificate not installed: " << GetLastError();
        return made;
    }
    Certificate kept(added);
    made.encoded.assign(added->pbCertEncoded, added->pbCertEncoded + added->cbCertEncoded);
    made.keyId.assign(keyId, keyId + keyIdSize);
    return made;
}

} // namespace

const KeyCertificate& firstCertificate() {
    static const KeyCertificate made = makeCertificate(L"cfx store test key 1", L"CN=Store test 1");
    return made;
}

ScratchFolder::ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    path_ = std::wstring(temp) + L"cfxstore-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
    std::wstring from = path_ + L'\0';
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

std::wstring answerWithInstalledKey(const std::wstring& keyRecord, const std::wstring& keyState) {
    CertificateStore store(CertOpenSystemStoreW(0, L"MY"));
    if (!store)
        failLastError(L"Unable to open the \"MY\" store");
    return answerWithStore(store.get(), keyRecord, keyState);
}

void unlockWithInstalledKey(Container& container) {
    Item root = container.root();
    std::wstring answer = answerWithInstalledKey(readText(root, StorageProperty_KeyRecord),
                                                 readText(root, StorageProperty_KeyState));
    root.setProperty(StorageProperty_KeyState, Variant(answer).get());
}

std::shared_ptr<Container> newContainer(const std::wstring& path, Container::Options options) {
    const KeyCertificate& certificate = firstCertificate();
    return Container::create(path, certificate.encoded.data(), certificate.encoded.size(), options);
}

std::vector<BYTE> fileBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void putFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes) {
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(file.good()) << "cannot write " << narrow(path);
}

ULONGLONG fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring readText(const Item& item, const GUID& property) {
    Variant value;
    item.getProperty(property, value.put());
    EXPECT_EQ(value.type(), VT_BSTR);
    return value.text();
}

std::vector<BYTE> patternBytes(size_t size, unsigned seed) {
    std::vector<BYTE> bytes(size);
    std::mt19937 random(seed);
    for (auto& b : bytes)
        b = static_cast<BYTE>(random());
    return bytes;
}

} // namespace cfx::store::test
