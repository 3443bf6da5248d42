#include "folder/FolderTestSupport.h"

#include "KeyClient.h"
#include "idl/cfxview_classes.h"
#include "server/ErrorReport.h"

#include <shlwapi.h>
#include <wincrypt.h>

#include <cstring>
#include <utility>

namespace cfx::foldertest {

using namespace cfx::store::test;
using cfx::server::errorText;

cfx::test::LoadedLibrary& library() {
    static auto* loaded = new cfx::test::LoadedLibrary(L"cfxview.dll");
    return *loaded;
}

ComPtr<IShellFolder2> openFolder(const std::wstring& path, HRESULT expected) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, library().getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    ComPtr<IShellFolder2> folder;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
    ComPtr<IPersistFolder> persist;
    EXPECT_EQ(S_OK, folder.As(&persist));
    ItemIdList file(ILCreateFromPathW(path.c_str()));
    EXPECT_TRUE(file) << narrow(path);
    EXPECT_TRUE(cfx::test::hrIs(expected, persist->Initialize(file.get())));
    return folder;
}

ComPtr<IShellFolder2> unlockedFolder(const std::wstring& path) {
    ComPtr<IShellFolder2> folder = openFolder(path);
    ComPtr<IShellView> view;
    EXPECT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
    return folder;
}

std::vector<ItemIdList> listChildren(IShellFolder2* folder, SHCONTF flags) {
    std::vector<ItemIdList> children;
    ComPtr<IEnumIDList> items;
    EXPECT_TRUE(SUCCEEDED(folder->EnumObjects(nullptr, flags, &items)));
    for (LPITEMIDLIST child = nullptr; items && items->Next(1, &child, nullptr) == S_OK;)
        children.emplace_back(child);
    return children;
}

std::vector<std::wstring> namesOf(IShellFolder2* folder, const std::vector<ItemIdList>& items) {
    std::vector<std::wstring> names;
    for (const ItemIdList& item : items)
        names.push_back(displayName(folder, item.get(), SHGDN_INFOLDER));
    return names;
}

LPCITEMIDLIST childNamed(IShellFolder2* folder, const std::vector<ItemIdList>& items,
                         const std::wstring& name) {
    for (const ItemIdList& item : items)
        if (cell(folder, item.get(), 0) == name)
            return item.get();
    ADD_FAILURE() << "no child named " << narrow(name);
    return nullptr;
}

namespace {

std::wstring textOf(HRESULT hr, STRRET& value, LPCITEMIDLIST item) {
    if (FAILED(hr)) {
        wchar_t digits[16];
        swprintf(digits, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        return digits;
    }
    wchar_t* text = nullptr;
    EXPECT_EQ(S_OK, StrRetToStrW(&value, item, &text));
    std::wstring result = text ? text : L"";
    CoTaskMemFree(text);
    return result;
}

} // namespace

std::wstring displayName(IShellFolder2* folder, LPCITEMIDLIST item, SHGDNF flags) {
    STRRET value{};
    return textOf(folder->GetDisplayNameOf(item, flags, &value), value, item);
}

std::wstring cell(IShellFolder2* folder, LPCITEMIDLIST item, UINT column) {
    SHELLDETAILS details{};
    return textOf(folder->GetDetailsOf(item, column, &details), details.str, item);
}

std::vector<BYTE> craftedId(const std::wstring& name, DWORD kind, ULONGLONG size) {
    static const BYTE signature[16] = {0x9E, 0x3A, 0x0C, 0x5D, 0xB4, 0x71, 0x28, 0x4F,
                                       0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95};
    const WORD cb = static_cast<WORD>(34 + 2 * name.size());
    std::vector<BYTE> bytes(cb + 2u, 0);
    std::memcpy(bytes.data(), &cb, 2);
    std::memcpy(bytes.data() + 2, signature, 16);
    std::memcpy(bytes.data() + 18, &kind, 4);
    std::memcpy(bytes.data() + 22, &size, 8);
    std::memcpy(bytes.data() + 30, name.data(), 2 * name.size());
    return bytes;
}

std::vector<BYTE> storageKeyOf(IStorageObject* storage) {
    const std::wstring record = textProperty(storage, StorageProperty_KeyRecord);
    DWORD size = 0;
    CryptStringToBinaryW(record.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> bytes(size);
    CryptStringToBinaryW(record.c_str(), 0, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr,
                         nullptr);

    const KeyCertificate& certificate = firstCertificate();
    HCERTSTORE my = CertOpenSystemStoreW(0, L"MY");
    CRYPT_HASH_BLOB id{static_cast<DWORD>(certificate.keyId.size()),
                       const_cast<BYTE*>(certificate.keyId.data())};
    PCCERT_CONTEXT found = CertFindCertificateInStore(my, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                      0, CERT_FIND_KEY_IDENTIFIER, &id, nullptr);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE provider = 0;
    DWORD spec = 0;
    BOOL release = FALSE;
    HCRYPTKEY privateKey = 0;
    EXPECT_TRUE(found &&
                CryptAcquireCertificatePrivateKey(found, 0, nullptr, &provider, &spec, &release) &&
                CryptGetUserKey(provider, spec, &privateKey));
    const store::StorageKey key = store::decryptKeyRecord(privateKey, bytes);
    CryptDestroyKey(privateKey);
    if (release)
        CryptReleaseContext(provider, 0);
    CertFreeCertificateContext(found);
    CertCloseStore(my, 0);
    return std::vector<BYTE>(key.data(), key.data() + key.size());
}

void writeComment(IStorageObject* item, const std::vector<BYTE>& key, const std::wstring& text) {
    // RC4, written out here so that the library's own is not what checks it.
    BYTE s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<BYTE>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % key.size()]) % 256;
        std::swap(s[i], s[j]);
    }
    std::vector<BYTE> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    for (size_t n = 0, i = 0, j = 0; n < bytes.size(); ++n) {
        i = (i + 1) % 256;
        j = (j + s[i]) % 256;
        std::swap(s[i], s[j]);
        bytes[n] ^= s[(s[i] + s[j]) % 256];
    }
    DWORD length = 0;
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    CryptBinaryToStringW(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr, &length);
    std::wstring base64(length, L'\0');
    CryptBinaryToStringW(bytes.data(), static_cast<DWORD>(bytes.size()), flags, base64.data(),
                         &length);
    base64.resize(length);
    check(item->SetProperty(StorageProperty_Comment, Variant(base64).get()));
}

KeyCertificate certificateOfKeyFile(const wchar_t* name) {
    std::vector<BYTE> pfx = fileBytes(cfx::test::programFolder() + L"testkeys\\" + name + L".pfx");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    HCERTSTORE imported = PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET);
    EXPECT_NE(nullptr, imported) << GetLastError();
    PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(imported, nullptr);
    KeyCertificate result;
    DWORD size = 0;
    if (certificate && CertGetCertificateContextProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID,
                                                         nullptr, &size)) {
        result.keyId.resize(size);
        CertGetCertificateContextProperty(certificate, CERT_KEY_IDENTIFIER_PROP_ID,
                                          result.keyId.data(), &size);
        result.encoded.assign(certificate->pbCertEncoded,
                              certificate->pbCertEncoded + certificate->cbCertEncoded);
    }
    CertFreeCertificateContext(certificate);
    CertCloseStore(imported, 0);
    return result;
}

void hideExtensions(bool hide) {
    for (DWORD value : {0u, 1u}) {
        SHRegSetUSValueW(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced",
                         L"HideFileExt", REG_DWORD, &value, sizeof value, SHREGSET_FORCE_HKCU);
        SHELLFLAGSTATE state{};
        SHGetSettings(&state, SSF_SHOWEXTENSIONS);
        if (!state.fShowExtensions == hide)
            return;
    }
    ADD_FAILURE() << "SHGetSettings does not follow HideFileExt";
}

cfx::test::Box errorBox(const std::wstring& prefix, HRESULT hr) {
    return cfx::test::Box()
        .caption(L"Coffrex")
        .text(prefix + L"\n\n" + errorText(static_cast<DWORD>(hr)))
        .icon(cfx::test::Icon::Error);
}

} // namespace cfx::foldertest
