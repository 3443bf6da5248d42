#include "StorageSession.h"

#include "Certificates.h"
#include "ToolError.h"

#include "KeyClient.h"
#include "KeyStateRecord.h"
#include "StoreError.h"

#include "common/Activation.h"

using cfx::store::quoted;

namespace cfx::tool {

std::vector<std::wstring> splitItemPath(const std::wstring& path) {
    std::vector<std::wstring> names;
    std::wstring name;
    for (wchar_t c : path) {
        if (c == L'\\' || c == L'/') {
            if (!name.empty())
                names.push_back(std::move(name));
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty())
        names.push_back(std::move(name));
    return names;
}

std::wstring joinItemPath(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() ? name : folder + L'\\' + name;
}

std::wstring normalItemPath(const std::wstring& path) {
    std::wstring joined;
    for (const auto& name : splitItemPath(path))
        joined = joinItemPath(joined, name);
    return joined;
}

std::wstring fullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    if (size == 0 || (size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr)) == 0)
        failLastError(L"finding the full path of " + quoted(path), kExitUsage);
    full.resize(size);
    return full;
}

void getProperty(IStorageObject* object, const GUID& id, Variant& value,
                 const std::wstring& action) {
    check(object->GetProperty(id, value.put()), action);
}

void setProperty(IStorageObject* object, const GUID& id, const Variant& value,
                 const std::wstring& action) {
    check(object->SetProperty(id, value.get()), action);
}

namespace {

std::vector<ChildInfo> childrenOf(IStorageFolder* folder, const std::wstring& path) {
    const std::wstring action = L"listing " + quoted(path.empty() ? L"\\" : path);
    ComPtr<IStorageEnum> items;
    check(folder->EnumItems(&items), action);
    std::vector<ChildInfo> children;
    for (;;) {
        ComPtr<IStorageItem> item;
        check(items->Next(&item), action);
        if (!item)
            return children;
        ChildInfo child;
        Bstr name;
        check(item->GetName(name.put()), action);
        child.name = fromBstr(name.get());
        check(item->GetType(&child.type), action);
        check(item->GetSize(&child.size), action);
        check(item->GetTimes(&child.times), action);
        children.push_back(std::move(child));
    }
}

} // namespace

namespace {

// The item an Open call gives; a missing one (no object) fails with missing.
template <class Item, class Open>
ComPtr<Item> opened(const std::wstring& action, HRESULT missing, Open&& open) {
    ComPtr<Item> item;
    check(open(item.GetAddressOf()), action);
    if (!item)
        fail(action, missing);
    return item;
}

} // namespace

ComPtr<IStorageFolder> openFolder(IStorageFolder* parent, const std::wstring& name,
                                  const std::wstring& path, bool create) {
    return opened<IStorageFolder>((create ? L"making folder " : L"opening folder ") + quoted(path),
                                  STG_E_PATHNOTFOUND, [&](IStorageFolder** folder) {
                                      return parent->OpenFolder(
                                          makeBstr(name).get(),
                                          create ? VARIANT_TRUE : VARIANT_FALSE, folder);
                                  });
}

ComPtr<IStorageFile> openFile(IStorageFolder* parent, const std::wstring& name,
                              const std::wstring& path, bool create) {
    return opened<IStorageFile>((create ? L"making " : L"opening ") + quoted(path),
                                STG_E_FILENOTFOUND, [&](IStorageFile** file) {
                                    return parent->OpenFile(makeBstr(name).get(),
                                                            create ? VARIANT_TRUE : VARIANT_FALSE,
                                                            file);
                                });
}

void forEachItem(IStorageFolder* folder, const std::wstring& path, bool recursive,
                 const Visit& visit) {
    for (const auto& child : childrenOf(folder, path)) {
        std::wstring childPath = joinItemPath(path, child.name);
        visit(folder, child, childPath);
        if (recursive && child.type == StorageItemFolder)
            forEachItem(openFolder(folder, child.name, childPath, false).Get(), childPath, true,
                        visit);
    }
}

StorageSession::StorageSession() {
    HRESULT hr = activate(CLSID_StorageServer, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server_));
    if (FAILED(hr))
        fail(L"connecting to the storage server", hr,
             hr == REGDB_E_CLASSNOTREG
                 ? L"The storage server is not registered, or its program is missing "
                   L"(cfxstore.exe /RegServer registers it)."
                 : L"",
             kExitServerUnavailable);
}

void StorageSession::open(const std::wstring& path) {
    path_ = fullPath(path);
    storage_.Reset();
    check(server_->OpenStorage(makeBstr(path_).get(), &storage_), L"opening " + shownStorage());
    if (!storage_)
        fail(L"opening " + shownStorage(), E_POINTER, L"The server gave no storage object.");
}

std::wstring StorageSession::shownStorage() const {
    return quoted(path_);
}

namespace {

std::wstring noCertificateText(const KeySource& key, const std::wstring& keyId) {
    return std::wstring(key.pfxFile.empty() ? L"The current user's \"MY\" store"
                                            : L"The key file") +
           L" has no certificate for the storage's key (key id " + keyId + L").";
}

} // namespace

void StorageSession::unlock(const KeySource& key) {
    const std::wstring action = L"unlocking " + shownStorage();
    try {
        Variant keyState;
        getProperty(storage_.Get(), StorageProperty_KeyState, keyState, action);
        // A server that asks nothing serves the contents without a key; one
        // that already holds the key (another client unlocked the storage)
        // needs it no more.
        if (keyState.text().empty() || contentsAnswer())
            return;
        Variant keyRecord;
        getProperty(storage_.Get(), StorageProperty_KeyRecord, keyRecord, action);
        std::wstring answer;
        try {
            if (key.pfxFile.empty()) {
                CertificateStore my = openMyStore();
                answer = cfx::store::answerWithStore(my.get(), keyRecord.text(), keyState.text());
            } else {
                // The key file's key lives only as long as its memory store:
                // the certificates hold it as a key context, which only the
                // cache flag lets CryptAcquireCertificatePrivateKey use.
                CertificateStore file = importPfx(key.pfxFile, key.password, PKCS12_NO_PERSIST_KEY);
                answer = cfx::store::answerWithStore(file.get(), keyRecord.text(), keyState.text(),
                                                     CRYPT_ACQUIRE_CACHE_FLAG);
            }
        } catch (const cfx::store::StoreError& e) {
            if (e.Error() != CRYPT_E_NOT_FOUND)
                throw;
            Variant keyId;
            getProperty(storage_.Get(), StorageProperty_KeyId, keyId, action);
            fail(action, e.Error(), noCertificateText(key, keyId.text()), kExitKeyUnavailable);
        }
        setProperty(storage_.Get(), StorageProperty_KeyState, Variant(answer), action);
    } catch (...) {
        rethrowAs(action, kExitKeyUnavailable);
    }
}

std::vector<BYTE> StorageSession::storageKey(const KeySource& key) const {
    const std::wstring action = L"recovering the key of " + shownStorage();
    try {
        Variant keyRecord, keyId;
        getProperty(storage_.Get(), StorageProperty_KeyRecord, keyRecord, action);
        getProperty(storage_.Get(), StorageProperty_KeyId, keyId, action);
        // As in unlock: a key file's key is usable only through the cache flag.
        const bool fromFile = !key.pfxFile.empty();
        CertificateStore store =
            fromFile ? importPfx(key.pfxFile, key.password, PKCS12_NO_PERSIST_KEY) : openMyStore();
        Certificate certificate;
        try {
            certificate = findByKeyId(store.get(), keyId.text());
        } catch (const ToolError& e) {
            if (e.hr() != CRYPT_E_NOT_FOUND)
                throw;
            fail(action, e.hr(), noCertificateText(key, keyId.text()), kExitKeyUnavailable);
        }
        HCRYPTPROV provider = 0;
        DWORD keyKind = 0;
        BOOL callerFrees = FALSE;
        if (!CryptAcquireCertificatePrivateKey(certificate.get(),
                                               fromFile ? CRYPT_ACQUIRE_CACHE_FLAG : 0, nullptr,
                                               &provider, &keyKind, &callerFrees))
            failLastError(action, kExitKeyUnavailable);
        CryptProvider owned(callerFrees ? provider : 0);
        CryptKey privateKey;
        if (!CryptGetUserKey(provider, keyKind, privateKey.put()))
            failLastError(action, kExitKeyUnavailable);
        const store::StorageKey storage =
            store::decryptKeyRecord(privateKey.get(), store::keyTextBytes(keyRecord.text()));
        return std::vector<BYTE>(storage.data(), storage.data() + storage.size());
    } catch (...) {
        rethrowAs(action, kExitKeyUnavailable);
    }
}

bool StorageSession::contentsAnswer() const {
    ComPtr<IStorageEnum> items;
    HRESULT hr = root()->EnumItems(&items);
    SetErrorInfo(0, nullptr); // a refusal here is an answer, not a failure
    return SUCCEEDED(hr);
}

ComPtr<IStorageFolder> StorageSession::root() const {
    ComPtr<IStorageFolder> folder;
    check(storage_.As(&folder), L"opening the root folder of " + shownStorage());
    return folder;
}

ComPtr<IStorageFolder> StorageSession::walk(const std::vector<std::wstring>& names, size_t count,
                                            bool create) const {
    ComPtr<IStorageFolder> folder = root();
    std::wstring path;
    for (size_t i = 0; i < count; ++i) {
        path = joinItemPath(path, names[i]);
        folder = openFolder(folder.Get(), names[i], path, create);
    }
    return folder;
}

ComPtr<IStorageObject> StorageSession::item(const std::wstring& itemPath) const {
    std::vector<std::wstring> names = splitItemPath(itemPath);
    if (names.empty())
        return storage_;
    ComPtr<IStorageFolder> parent = walk(names, names.size() - 1, false);
    return opened<IStorageObject>(L"opening " + quoted(normalItemPath(itemPath)),
                                  STG_E_FILENOTFOUND, [&](IStorageObject** found) {
                                      return parent->GetItem(makeBstr(names.back()).get(), found);
                                  });
}

ComPtr<IStorageFolder> StorageSession::folder(const std::wstring& itemPath, bool create) const {
    std::vector<std::wstring> names = splitItemPath(itemPath);
    return walk(names, names.size(), create);
}

std::pair<ComPtr<IStorageFolder>, std::wstring>
StorageSession::parentOf(const std::wstring& itemPath) const {
    std::vector<std::wstring> names = splitItemPath(itemPath);
    if (names.empty())
        throw UsageError(L"the path names the storage's root folder, not an item in it");
    return {walk(names, names.size() - 1, false), names.back()};
}

} // namespace cfx::tool
