#include "Container.h"

#include "Cmac.h"
#include "FileContents.h"
#include "ItemName.h"
#include "KeyProtection.h"
#include "KeyStateRecord.h"
#include "StoreError.h"

#include "cfxstorage.h"
#include "common/Base64.h"
#include "common/Text.h"
#include "common/Variant.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

using Microsoft::WRL::ComPtr;

namespace cfx::store {

namespace {

// A description that starts a sentence.
std::wstring sentence(std::wstring text) {
    if (!text.empty())
        text[0] = towupper(text[0]);
    return text;
}

// Metadata streams have names that start with U+0005, as property sets do,
// so that tools measuring a compound file count their exact sizes.
constexpr wchar_t kHeaderStream[] = L"\005CfxHeader";
constexpr wchar_t kItemPrefix[] = L"\005I";
constexpr char kRecordMagic[4] = {'C', 'F', 'X', 'I'};
constexpr WORD kRecordVersion = 1;
// Magic (4), version (2), reserved (2), nonce (8).
constexpr size_t kRecordHead = 16;
constexpr size_t kTagSize = 16;
constexpr ULONGLONG kMaxHeaderSize = 64ull << 20;
constexpr ULONGLONG kMaxRecordSize = 256ull << 20;
// Data streams kept open at once.
constexpr size_t kOpenStreams = 64;
constexpr BYTE kDocfileSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

FILETIME now() {
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    return t;
}

std::wstring dataStreamName(ItemNumber number) {
    wchar_t name[24];
    swprintf(name, 24, L"D%016llX", static_cast<unsigned long long>(number));
    return name;
}

std::wstring itemStreamName(ItemNumber number) {
    wchar_t name[24];
    swprintf(name, 24, L"%ls%016llX", kItemPrefix, static_cast<unsigned long long>(number));
    return name;
}

// The item number an item record's stream name gives, or 0.
ItemNumber itemOfStreamName(const wchar_t* name) {
    size_t prefix = wcslen(kItemPrefix);
    if (wcsncmp(name, kItemPrefix, prefix) != 0 || wcslen(name) != prefix + 16)
        return 0;
    ItemNumber number = 0;
    for (const wchar_t* p = name + prefix; *p; ++p) {
        int digit = *p >= L'0' && *p <= L'9'   ? *p - L'0'
                    : *p >= L'A' && *p <= L'F' ? *p - L'A' + 10
                                               : -1;
        if (digit < 0)
            return 0;
        number = (number << 4) | static_cast<ItemNumber>(digit);
    }
    return number;
}

void setText(VARIANT* value, const std::wstring& text) {
    VariantInit(value);
    value->bstrVal = allocBstr(text);
    value->vt = VT_BSTR;
}

std::wstring notContainer(const std::wstring& path) {
    return L"The file " + quoted(path) + L" is not a storage container, or it is damaged.";
}

bool isOpenProperty(const GUID& property) {
    return property == StorageProperty_Frozen || property == StorageProperty_Flags ||
           property == StorageProperty_AttachedKey;
}

bool isFixedProperty(const GUID& property) {
    return property == StorageProperty_Id || property == StorageProperty_KeyId ||
           property == StorageProperty_KeyRecord;
}

[[noreturn]] void wrongType(const wchar_t* property, const wchar_t* type) {
    fail(DISP_E_TYPEMISMATCH, std::wstring(L"The property ") + property + L" takes " + type + L".");
}

ComPtr<IStream> openElement(IStorage* storage, const wchar_t* name, DWORD access) {
    ComPtr<IStream> stream;
    HRESULT hr = storage->OpenStream(name, nullptr, access | STGM_SHARE_EXCLUSIVE, 0, &stream);
    if (FAILED(hr))
        return nullptr;
    return stream;
}

ULONGLONG streamSize(IStream* stream, const std::wstring& damaged) {
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)))
        fail(STG_E_DOCFILECORRUPT, damaged);
    return stat.cbSize.QuadPart;
}

std::vector<BYTE> readStream(IStorage* storage, const wchar_t* name, ULONGLONG limit,
                             const std::wstring& damaged) {
    ComPtr<IStream> stream = openElement(storage, name, STGM_READ);
    if (!stream)
        fail(STG_E_DOCFILECORRUPT, damaged);
    ULONGLONG size = streamSize(stream.Get(), damaged);
    if (size > limit)
        fail(STG_E_DOCFILECORRUPT, damaged);
    std::vector<BYTE> bytes(static_cast<size_t>(size));
    ULONG got = 0;
    if (size > 0 &&
        (FAILED(stream->Read(bytes.data(), static_cast<ULONG>(size), &got)) || got != size))
        fail(STG_E_DOCFILECORRUPT, damaged);
    return bytes;
}

void writeStream(IStorage* storage, const wchar_t* name, const std::vector<BYTE>& bytes,
                 const std::wstring& path) {
    std::wstring action = L"Unable to write the storage file " + quoted(path);
    ComPtr<IStream> stream = openElement(storage, name, STGM_READWRITE);
    if (!stream)
        checkCall(storage->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                        0, 0, &stream),
                  action);
    ULARGE_INTEGER size;
    size.QuadPart = bytes.size();
    checkCall(stream->SetSize(size), action);
    ULONG done = 0;
    if (!bytes.empty()) {
        checkCall(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &done), action);
        if (done != bytes.size())
            fail(STG_E_MEDIUMFULL, action + L": " + systemText(STG_E_MEDIUMFULL));
    }
}

// An item record as stored: magic, version, reserved, nonce, the record in
// counter mode from the counter block nonce | 0, then CMAC of all before it.
std::vector<BYTE> sealRecord(std::vector<BYTE> plain, const KeyMaterial& keys) {
    std::vector<BYTE> sealed(kRecordHead + plain.size() + kTagSize);
    std::memcpy(sealed.data(), kRecordMagic, 4);
    sealed[4] = static_cast<BYTE>(kRecordVersion);
    sealed[5] = static_cast<BYTE>(kRecordVersion >> 8);
    randomBytes(sealed.data() + 8, 8);
    Block counter{};
    std::memcpy(counter.data(), sealed.data() + 8, 8);
    std::memcpy(sealed.data() + kRecordHead, plain.data(), plain.size());
    SecureZeroMemory(plain.data(), plain.size());
    keys.catalog().applyCounterStream(counter, sealed.data() + kRecordHead, plain.size());
    Block tag = cmac(keys.authentication(), sealed.data(), kRecordHead + plain.size());
    std::memcpy(sealed.data() + kRecordHead + plain.size(), tag.data(), kTagSize);
    return sealed;
}

// The plaintext of a sealed record; raises STG_E_DOCFILECORRUPT when the
// record was changed or made with another key.
std::vector<BYTE> unsealRecord(const std::vector<BYTE>& sealed, const KeyMaterial& keys,
                               const std::wstring& damaged) {
    if (sealed.size() < kRecordHead + kTagSize || std::memcmp(sealed.data(), kRecordMagic, 4) ||
        sealed[4] != kRecordVersion || sealed[5] != 0)
        fail(STG_E_DOCFILECORRUPT, damaged);
    size_t size = sealed.size() - kRecordHead - kTagSize;
    Block tag = cmac(keys.authentication(), sealed.data(), kRecordHead + size);
    if (!equalSecret(tag.data(), sealed.data() + kRecordHead + size, kTagSize))
        fail(STG_E_DOCFILECORRUPT, damaged);
    Block counter{};
    std::memcpy(counter.data(), sealed.data() + 8, 8);
    std::vector<BYTE> plain(sealed.begin() + kRecordHead, sealed.begin() + kRecordHead + size);
    keys.catalog().applyCounterStream(counter, plain.data(), plain.size());
    return plain;
}

ComPtr<IStorage> createDocfile(const std::wstring& path) {
    // 4096-byte sectors: large streams take fewer sectors and chain lookups.
    STGOPTIONS options{};
    options.usVersion = 1;
    options.ulSectorSize = 4096;
    ComPtr<IStorage> storage;
    DWORD mode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    HRESULT hr = StgCreateStorageEx(path.c_str(), mode, STGFMT_DOCFILE, 0, &options, nullptr,
                                    IID_IStorage, reinterpret_cast<void**>(storage.GetAddressOf()));
    if (hr == STG_E_INVALIDPARAMETER || hr == E_INVALIDARG)
        hr = StgCreateStorageEx(path.c_str(), mode, STGFMT_DOCFILE, 0, nullptr, nullptr,
                                IID_IStorage, reinterpret_cast<void**>(storage.GetAddressOf()));
    checkCall(hr, L"Unable to make the storage file " + quoted(path));
    return storage;
}

void flushFile(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        failLastError(L"Unable to open " + quoted(path));
    if (!FlushFileBuffers(file.get()))
        failLastError(L"Unable to flush " + quoted(path));
}

// Whether the file starts like a compound file; the compound-file layer is
// not given files that do not.
bool hasDocfileSignature(ILockBytes* bytes) {
    BYTE signature[8] = {};
    ULONG got = 0;
    ULARGE_INTEGER at{};
    return SUCCEEDED(bytes->ReadAt(at, signature, 8, &got)) && got == 8 &&
           std::memcmp(signature, kDocfileSignature, 8) == 0;
}

void copyElements(IStorage* source, IStorage* target, const std::wstring& path) {
    std::wstring reading = L"Unable to read the storage file " + quoted(path);
    std::wstring writing = L"Unable to write the new storage file";
    ComPtr<IEnumSTATSTG> elements;
    checkCall(source->EnumElements(0, nullptr, 0, &elements), reading);
    std::vector<BYTE> buffer(1 << 20);
    for (;;) {
        STATSTG stat{};
        ULONG fetched = 0;
        HRESULT hr = elements->Next(1, &stat, &fetched);
        checkCall(hr, reading);
        if (hr != S_OK || fetched != 1)
            break;
        TaskMemory name(stat.pwcsName);
        if (stat.type == STGTY_STORAGE) {
            ComPtr<IStorage> from, to;
            checkCall(source->OpenStorage(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                          nullptr, 0, &from),
                      reading);
            checkCall(target->CreateStorage(stat.pwcsName,
                                            STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                            0, &to),
                      writing);
            copyElements(from.Get(), to.Get(), path);
            continue;
        }
        if (stat.type != STGTY_STREAM)
            continue;
        ComPtr<IStream> from, to;
        checkCall(
            source->OpenStream(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &from),
            reading);
        checkCall(target->CreateStream(stat.pwcsName,
                                       STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                       &to),
                  writing);
        // Sized first, so that the new stream's sectors are allocated in one run.
        checkCall(to->SetSize(stat.cbSize), writing);
        for (ULONGLONG left = stat.cbSize.QuadPart; left > 0;) {
            ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(left, buffer.size()));
            ULONG got = 0, put = 0;
            checkCall(from->Read(buffer.data(), n, &got), reading);
            if (got != n)
                fail(STG_E_DOCFILECORRUPT, notContainer(path));
            checkCall(to->Write(buffer.data(), n, &put), writing);
            if (put != n)
                fail(STG_E_MEDIUMFULL, writing + L": " + systemText(STG_E_MEDIUMFULL));
            left -= n;
        }
    }
}

// What a listing tells of an item; folders have no size.
ItemInfo infoOf(const CatalogItem& item) {
    return ItemInfo{item.type, item.name, item.times, item.type == ItemType::File ? item.size : 0};
}

} // namespace

// ---- Container -------------------------------------------------------------

Container::Container(Token, std::wstring path, Options options)
    : path_(std::move(path)), options_(options) {}

Container::~Container() {
    Lock hold(mutex_);
    if (!open_)
        return;
    bool committed = true;
    try {
        commitLocked();
    } catch (...) {
        abandonLocked();
        committed = false;
    }
    closeLocked(committed);
}

std::shared_ptr<Container> Container::create(const std::wstring& path, const BYTE* certificate,
                                             size_t certificateSize) {
    return create(path, certificate, certificateSize, Options{});
}

std::shared_ptr<Container> Container::create(const std::wstring& path, const BYTE* certificate,
                                             size_t certificateSize, Options options) {
    if (path.empty())
        fail(STG_E_INVALIDNAME, L"A storage needs a path.");
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        fail(STG_E_FILEALREADYEXISTS, L"The file " + quoted(path) + L" already exists.");
    StorageKey key = StorageKey::random();
    CertificateProtection protection = protectForCertificate(certificate, certificateSize, key);

    FILETIME created = now();
    ContainerHeader header;
    checkCall(CoCreateGuid(&header.id), L"Unable to make the storage's identifier");
    header.checkValue = checkValueOf(key);
    header.keyId = protection.keyId;
    header.keyRecord = protection.keyRecord;
    header.created = created;
    KeyMaterial keys(key);

    // Made under a temporary name and moved into place, so that no
    // half-made container ever has the path.
    std::wstring temporary = path + L"-new";
    DeleteFileW(temporary.c_str());
    try {
        ComPtr<IStorage> storage = createDocfile(temporary);
        writeStream(storage.Get(), kHeaderStream, header.encode(), temporary);
        writeStream(storage.Get(), itemStreamName(Catalog::kRoot).c_str(),
                    sealRecord(Catalog::empty(created).encodeItem(Catalog::kRoot), keys),
                    temporary);
        checkCall(storage->Commit(STGC_DEFAULT),
                  L"Unable to write the storage file " + quoted(temporary));
        storage.Reset();
        if (options.durable)
            flushFile(temporary);
        DeleteFileW(JournaledFile::journalPath(path).c_str());
        if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            DWORD error = GetLastError();
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
                fail(STG_E_FILEALREADYEXISTS, L"The file " + quoted(path) + L" already exists.");
            SetLastError(error);
            failLastError(L"Unable to make the storage file " + quoted(path));
        }
    } catch (...) {
        DeleteFileW(temporary.c_str());
        throw;
    }

    auto container = std::make_shared<Container>(Token{}, path, options);
    Lock hold(container->mutex_);
    container->openLocked();
    container->unlockLocked(key);
    return container;
}

std::shared_ptr<Container> Container::open(const std::wstring& path) {
    return open(path, Options{});
}

std::shared_ptr<Container> Container::open(const std::wstring& path, Options options) {
    if (path.empty())
        fail(STG_E_INVALIDNAME, L"A storage needs a path.");
    auto container = std::make_shared<Container>(Token{}, path, options);
    Lock hold(container->mutex_);
    container->openLocked();
    return container;
}

void Container::openLocked() {
    file_ = JournaledFile::open(path_, options_.durable);
    try {
        if (!hasDocfileSignature(file_.Get()))
            fail(STG_E_DOCFILECORRUPT, notContainer(path_));
        HRESULT hr = StgOpenStorageOnILockBytes(
            file_.Get(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage_);
        if (hr == E_OUTOFMEMORY)
            throw std::bad_alloc();
        if (FAILED(hr))
            fail(STG_E_DOCFILECORRUPT, notContainer(path_) + L" " + systemText(hr));
        std::wstring damaged = notContainer(path_);
        header_ = ContainerHeader::decode(
            readStream(storage_.Get(), kHeaderStream, kMaxHeaderSize, damaged), path_);
        headerChanged_ = false;
        open_ = true;
        // A key kept from an earlier opening unlocks again if it still fits.
        if (key_ && equalSecret(checkValueOf(*key_).data(), header_.checkValue.data(), 16)) {
            loadCatalog();
        } else {
            keys_.reset();
            key_.reset();
        }
    } catch (...) {
        open_ = false;
        catalog_.reset();
        storage_.Reset();
        file_->close();
        file_.Reset();
        throw;
    }
}

void Container::closeLocked(bool committed) noexcept {
    streams_.clear();
    storage_.Reset();
    if (file_) {
        // What the compound-file layer writes as it lets go of a committed
        // state belongs to that state.
        if (committed && file_->changed()) {
            try {
                file_->commit();
            } catch (...) {
                // close rolls it back
            }
        }
        file_->close();
    }
    file_.Reset();
    open_ = false;
    ++epoch_;
    catalog_.reset();
    headerChanged_ = false;
}

void Container::loadCatalog() {
    std::wstring damaged = L"The catalog of the storage " + quoted(path_) +
                           L" is damaged: the names and contents cannot be read.";
    ComPtr<IEnumSTATSTG> elements;
    checkCall(storage_->EnumElements(0, nullptr, 0, &elements),
              L"Unable to read the storage file " + quoted(path_));
    std::vector<CatalogItem> items;
    ItemNumber next = 0;
    for (;;) {
        STATSTG stat{};
        ULONG fetched = 0;
        if (elements->Next(1, &stat, &fetched) != S_OK || fetched != 1)
            break;
        TaskMemory name(stat.pwcsName);
        ItemNumber number =
            stat.type == STGTY_STREAM && stat.pwcsName ? itemOfStreamName(stat.pwcsName) : 0;
        if (!number)
            continue;
        std::vector<BYTE> plain = unsealRecord(
            readStream(storage_.Get(), stat.pwcsName, kMaxRecordSize, damaged), *keys_, damaged);
        items.push_back(Catalog::decodeItem(plain, next, damaged));
        SecureZeroMemory(plain.data(), plain.size());
        // A record under another item's name was moved there.
        if (items.back().number != number)
            fail(STG_E_DOCFILECORRUPT, damaged);
    }
    catalog_ = Catalog::assemble(std::move(items), next, damaged);
}

void Container::saveCatalog() {
    std::wstring action = L"Unable to write the storage file " + quoted(path_);
    for (ItemNumber number : catalog_->takeRemoved()) {
        HRESULT hr = storage_->DestroyElement(itemStreamName(number).c_str());
        if (hr != STG_E_FILENOTFOUND)
            checkCall(hr, action);
    }
    for (ItemNumber number : catalog_->takeChanged())
        if (catalog_->find(number))
            writeStream(storage_.Get(), itemStreamName(number).c_str(),
                        sealRecord(catalog_->encodeItem(number), *keys_), path_);
}

void Container::saveHeader() {
    writeStream(storage_.Get(), kHeaderStream, header_.encode(), path_);
    headerChanged_ = false;
}

void Container::commitLocked() {
    if (catalog_)
        trimDataStreams();
    if (catalog_ && catalog_->hasChanges())
        saveCatalog();
    if (headerChanged_)
        saveHeader();
    if (file_->changed()) {
        checkCall(storage_->Commit(STGC_DEFAULT),
                  L"Unable to write the storage file " + quoted(path_));
        file_->commit();
    }
}

void Container::abandonLocked() noexcept {
    streams_.clear();
    storage_.Reset();
    try {
        if (!file_)
            return;
        file_->rollback();
        HRESULT hr = StgOpenStorageOnILockBytes(
            file_.Get(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage_);
        checkCall(hr, L"Unable to open the storage file " + quoted(path_));
        header_ = ContainerHeader::decode(
            readStream(storage_.Get(), kHeaderStream, kMaxHeaderSize, notContainer(path_)), path_);
        headerChanged_ = false;
        if (catalog_)
            loadCatalog();
    } catch (...) {
        closeLocked(false);
    }
}

template <class Change> auto Container::change(Change&& body) -> decltype(body()) {
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            commitLocked();
        } else {
            auto result = body();
            commitLocked();
            return result;
        }
    } catch (...) {
        abandonLocked();
        throw;
    }
}

void Container::unlockLocked(const StorageKey& key) {
    if (!equalSecret(checkValueOf(key).data(), header_.checkValue.data(), 16))
        fail(E_ACCESSDENIED, L"The key does not open the storage " + quoted(path_) + L".");
    if (catalog_)
        return;
    keys_ = std::make_unique<KeyMaterial>(key);
    key_ = key;
    try {
        loadCatalog();
    } catch (...) {
        keys_.reset();
        key_.reset();
        catalog_.reset();
        throw;
    }
}

void Container::requireOpen(unsigned epoch) const {
    if (!open_ || epoch != epoch_)
        fail(STG_E_REVERTED,
             L"The storage " + quoted(path_) + L" was closed; open it again to go on.");
}

bool Container::frozenLocked() const {
    const PropertyValue* frozen = header_.find(StorageProperty_Frozen);
    return frozen && frozen->type() == VT_BOOL && frozen->scalar() != 0;
}

Catalog& Container::requireContents(unsigned epoch) {
    requireOpen(epoch);
    if (frozenLocked())
        fail(E_ACCESSDENIED, L"The storage " + quoted(path_) + L" is frozen.");
    if (!catalog_)
        fail(E_ACCESSDENIED, L"The storage " + quoted(path_) +
                                 L" is locked: it is served only after its key was given.");
    return *catalog_;
}

CatalogItem& Container::itemOf(const Item& item) {
    Catalog& catalog = requireContents(item.epoch_);
    CatalogItem* found = catalog.find(item.number_);
    if (!found)
        fail(STG_E_REVERTED, L"The item was deleted from the storage " + quoted(path_) + L".");
    return *found;
}

CatalogItem& Container::folderOf(const Item& item) {
    CatalogItem& folder = itemOf(item);
    if (folder.type != ItemType::Folder)
        fail(STG_E_INVALIDFUNCTION, sentence(describe(folder)) + L" is a file, not a folder.");
    return folder;
}

CatalogItem& Container::fileOf(const Item& item) {
    CatalogItem& file = itemOf(item);
    if (file.type != ItemType::File)
        fail(STG_E_INVALIDFUNCTION, sentence(describe(file)) + L" is a folder, not a file.");
    return file;
}

std::wstring Container::pathOf(const CatalogItem& item) const {
    std::vector<const std::wstring*> names;
    for (const CatalogItem* at = &item; at && at->number != Catalog::kRoot;
         at = catalog_->find(at->parent))
        names.push_back(&at->name);
    std::wstring path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty())
            path += L'\\';
        path += **it;
    }
    return path;
}

std::wstring Container::describe(const CatalogItem& item) const {
    if (item.number == Catalog::kRoot)
        return L"the root folder of " + quoted(path_);
    return shownName(pathOf(item)) + L" in " + quoted(path_);
}

DataStream& Container::dataStream(ItemNumber number) {
    auto found = streams_.find(number);
    if (found != streams_.end())
        return found->second;
    DataStream data;
    data.stream = openElement(storage_.Get(), dataStreamName(number).c_str(), STGM_READWRITE);
    if (!data.stream)
        fail(STG_E_DOCFILECORRUPT, L"The contents of a file are missing from the storage " +
                                       quoted(path_) + L": the storage is damaged.");
    data.capacity = streamSize(data.stream.Get(), notContainer(path_));
    if (streams_.size() >= kOpenStreams) {
        auto oldest = streams_.begin();
        if (CatalogItem* file = catalog_->find(oldest->first))
            FileContents(oldest->second, *file, keys_->contents()).trim();
        streams_.erase(oldest);
    }
    return streams_.emplace(number, std::move(data)).first->second;
}

void Container::trimDataStreams() {
    for (auto& [number, data] : streams_)
        if (CatalogItem* file = catalog_->find(number))
            FileContents(data, *file, keys_->contents()).trim();
}

void Container::dropDataStream(ItemNumber number) {
    streams_.erase(number);
    HRESULT hr = storage_->DestroyElement(dataStreamName(number).c_str());
    if (hr != STG_E_FILENOTFOUND)
        checkCall(hr, L"Unable to write the storage file " + quoted(path_));
}

Item Container::handle(ItemNumber number) {
    return Item(shared_from_this(), epoch_, number);
}

GUID Container::id() const {
    Lock hold(mutex_);
    return header_.id;
}

bool Container::isOpen() const {
    Lock hold(mutex_);
    return open_;
}

bool Container::isUnlocked() const {
    Lock hold(mutex_);
    return open_ && catalog_.has_value();
}

bool Container::isFrozen() const {
    Lock hold(mutex_);
    return frozenLocked();
}

Item Container::root() {
    Lock hold(mutex_);
    requireOpen(epoch_);
    return handle(Catalog::kRoot);
}

std::vector<BYTE> Container::keyStateRequest() {
    Lock hold(mutex_);
    requireOpen(epoch_);
    return SessionKey::instance().request(header_.keyId);
}

void Container::acceptKeyState(const std::vector<BYTE>& answer) {
    KeyStateRecord record = KeyStateRecord::decode(answer);
    Lock hold(mutex_);
    requireOpen(epoch_);
    unlockLocked(SessionKey::instance().unwrap(record));
}

void Container::unlock(const StorageKey& key) {
    Lock hold(mutex_);
    requireOpen(epoch_);
    unlockLocked(key);
}

void Container::lock() {
    Lock hold(mutex_);
    auto forget = [this] {
        streams_.clear();
        catalog_.reset();
        keys_.reset();
        key_.reset();
    };
    try {
        if (open_)
            change([] {});
    } catch (...) {
        forget();
        throw;
    }
    forget();
}

void Container::commit() {
    Lock hold(mutex_);
    requireOpen(epoch_);
    change([] {});
}

void Container::close() {
    Lock hold(mutex_);
    if (!open_)
        return;
    try {
        commitLocked();
    } catch (...) {
        abandonLocked();
        closeLocked(false);
        throw;
    }
    closeLocked(true);
}

void Container::reopen() {
    Lock hold(mutex_);
    if (!open_)
        openLocked();
}

void Container::defragment() {
    Lock hold(mutex_);
    requireOpen(epoch_);
    change([] {});
    unsigned epoch = epoch_;
    closeLocked(true);
    try {
        defragmentContainer(path_);
    } catch (...) {
        // The old file is still in place: go on with it.
        try {
            openLocked();
            epoch_ = epoch;
        } catch (...) {
        }
        throw;
    }
    openLocked();
    epoch_ = epoch;
}

// ---- properties ------------------------------------------------------------

void Container::getProperty(const Item& item, const GUID& property, VARIANT* value) {
    if (!value)
        fail(E_POINTER, L"No place was given for the property's value.");
    VariantInit(value);
    if (item.isRoot()) {
        requireOpen(item.epoch_);
        if (property == StorageProperty_Id)
            return setText(value, guidText(header_.id));
        if (property == StorageProperty_KeyId)
            return setText(value, toBase64(header_.keyId));
        if (property == StorageProperty_KeyRecord)
            return setText(value, toBase64(header_.keyRecord));
        if (property == StorageProperty_KeyState)
            return setText(value, toBase64(SessionKey::instance().request(header_.keyId)));
        if (isOpenProperty(property)) {
            if (const PropertyValue* found = header_.find(property))
                found->toVariant(value);
            return;
        }
    }
    CatalogItem& target = itemOf(item);
    if (property == StorageProperty_Id && !item.isRoot())
        return setText(value, guidText(target.id));
    for (const auto& [id, stored] : target.properties)
        if (id == property)
            return stored.toVariant(value);
}

void Container::setProperty(const Item& item, const GUID& property, const VARIANT& value) {
    if (value.vt == VT_EMPTY)
        return removeProperty(item, property);
    if (item.isRoot()) {
        requireOpen(item.epoch_);
        if (isFixedProperty(property))
            fail(E_ACCESSDENIED, L"The storage's Id, KeyId and KeyRecord are set when it is "
                                 L"made and cannot be changed.");
        if (property == StorageProperty_KeyState) {
            if (value.vt != VT_BSTR)
                wrongType(L"KeyState", L"Base64 text (VT_BSTR)");
            KeyStateRecord record = KeyStateRecord::decode(keyTextBytes(fromBstr(value.bstrVal)));
            return unlockLocked(SessionKey::instance().unwrap(record));
        }
        if (isOpenProperty(property)) {
            PropertyValue stored;
            if (property == StorageProperty_Frozen) {
                if (value.vt != VT_BOOL)
                    wrongType(L"Frozen", L"VT_BOOL");
                stored = PropertyValue::fromVariant(value);
            } else if (property == StorageProperty_Flags) {
                Variant converted;
                if (FAILED(VariantChangeType(converted.put(), const_cast<VARIANT*>(&value), 0,
                                             VT_UI8)))
                    wrongType(L"Flags", L"an unsigned 64-bit number (VT_UI8)");
                stored = PropertyValue::fromVariant(converted.get());
            } else {
                if (value.vt != VT_BSTR)
                    wrongType(L"AttachedKey", L"Base64 text (VT_BSTR)");
                stored = PropertyValue::fromVariant(value);
            }
            return change([&] {
                header_.set(property, stored);
                headerChanged_ = true;
            });
        }
    }
    CatalogItem& target = itemOf(item);
    if (property == StorageProperty_Id)
        fail(E_ACCESSDENIED, L"The Id of " + describe(target) + L" cannot be changed.");
    PropertyValue stored = PropertyValue::fromVariant(value);
    change([&] {
        for (auto& entry : target.properties)
            if (entry.first == property) {
                entry.second = stored;
                catalog_->touch(target.number);
                return;
            }
        target.properties.emplace_back(property, stored);
        catalog_->touch(target.number);
    });
}

void Container::removeProperty(const Item& item, const GUID& property) {
    if (item.isRoot()) {
        requireOpen(item.epoch_);
        if (isFixedProperty(property) || property == StorageProperty_KeyState)
            fail(E_ACCESSDENIED, L"The storage's Id, KeyId, KeyRecord and KeyState cannot be "
                                 L"removed.");
        if (isOpenProperty(property)) {
            if (header_.find(property))
                change([&] {
                    header_.remove(property);
                    headerChanged_ = true;
                });
            return;
        }
    }
    CatalogItem& target = itemOf(item);
    if (property == StorageProperty_Id)
        fail(E_ACCESSDENIED, L"The Id of " + describe(target) + L" cannot be removed.");
    auto found = std::find_if(target.properties.begin(), target.properties.end(),
                              [&](const auto& entry) { return entry.first == property; });
    if (found != target.properties.end())
        change([&] {
            target.properties.erase(found);
            catalog_->touch(target.number);
        });
}

std::vector<GUID> Container::listProperties(const Item& item) {
    std::vector<GUID> ids{StorageProperty_Id};
    if (item.isRoot()) {
        requireOpen(item.epoch_);
        ids.insert(ids.end(),
                   {StorageProperty_KeyId, StorageProperty_KeyRecord, StorageProperty_KeyState});
        for (const auto& entry : header_.properties)
            ids.push_back(entry.first);
        try {
            requireContents(item.epoch_);
        } catch (const StoreError&) {
            return ids; // locked or frozen: the storage-level properties only
        }
    }
    for (const auto& entry : itemOf(item).properties)
        ids.push_back(entry.first);
    return ids;
}

// ---- Item ------------------------------------------------------------------

Container& Item::owner() const {
    if (!container_)
        fail(E_POINTER, L"The item handle is empty.");
    return *container_;
}

template <class T, class Read> T Item::readEntry(T rootValue, Read&& read) const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    if (isRoot()) {
        c.requireOpen(epoch_);
        return rootValue;
    }
    return read(c, c.itemOf(*this));
}

ItemType Item::type() const {
    return readEntry(ItemType::Folder,
                     [](Container&, const CatalogItem& item) { return item.type; });
}

std::wstring Item::name() const {
    return readEntry(std::wstring(), [](Container&, const CatalogItem& item) { return item.name; });
}

ItemTimes Item::times() const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    return c.itemOf(*this).times;
}

ULONGLONG Item::size() const {
    return readEntry(ULONGLONG{0}, [](Container&, const CatalogItem& item) {
        return item.type == ItemType::File ? item.size : 0;
    });
}

ItemInfo Item::info() const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    return infoOf(c.itemOf(*this));
}

std::wstring Item::path() const {
    return readEntry(std::wstring(),
                     [](Container& c, const CatalogItem& item) { return c.pathOf(item); });
}

void Item::setTimes(const ItemTimes& times) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& item = c.itemOf(*this);
    c.change([&] {
        item.times = times;
        c.catalog_->touch(item.number);
    });
}

void Item::getProperty(const GUID& property, VARIANT* value) const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    c.getProperty(*this, property, value);
}

void Item::setProperty(const GUID& property, const VARIANT& value) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    c.setProperty(*this, property, value);
}

void Item::removeProperty(const GUID& property) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    c.removeProperty(*this, property);
}

std::vector<GUID> Item::listProperties() const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    return c.listProperties(*this);
}

template <class Make> auto Item::mapChildren(Make&& make) const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    const CatalogItem& folder = c.folderOf(*this);
    std::vector<decltype(make(c, ItemNumber{}))> result;
    result.reserve(folder.children.size());
    for (ItemNumber n : folder.children)
        result.push_back(make(c, n));
    return result;
}

std::vector<ItemInfo> Item::list() const {
    return mapChildren([](Container& c, ItemNumber n) { return infoOf(*c.catalog_->find(n)); });
}

std::vector<Item> Item::children() const {
    return mapChildren([](Container& c, ItemNumber n) { return c.handle(n); });
}

Item Item::openFolder(const std::wstring& name, bool create) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& folder = c.folderOf(*this);
    checkItemName(name);
    if (CatalogItem* child = c.catalog_->child(folder, name)) {
        if (child->type == ItemType::File)
            fail(create ? STG_E_FILEALREADYEXISTS : STG_E_PATHNOTFOUND,
                 sentence(c.describe(*child)) + L" is a file, not a folder.");
        return c.handle(child->number);
    }
    if (!create)
        fail(STG_E_PATHNOTFOUND,
             L"There is no folder " + shownName(name) + L" in " + c.describe(folder) + L".");
    return c.change([&] {
        CatalogItem& made = c.catalog_->add(folder, name, ItemType::Folder, now());
        return c.handle(made.number);
    });
}

std::optional<Item> Item::openFile(const std::wstring& name, bool create) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& folder = c.folderOf(*this);
    checkItemName(name);
    if (CatalogItem* child = c.catalog_->child(folder, name)) {
        if (child->type == ItemType::Folder) {
            if (create)
                fail(STG_E_FILEALREADYEXISTS,
                     sentence(c.describe(*child)) + L" is a folder, not a file.");
            return std::nullopt;
        }
        return c.handle(child->number);
    }
    if (!create)
        return std::nullopt;
    return c.change([&] {
        CatalogItem& made = c.catalog_->add(folder, name, ItemType::File, now());
        ComPtr<IStream> stream;
        checkCall(c.storage_->CreateStream(dataStreamName(made.number).c_str(),
                                           STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                           0, &stream),
                  L"Unable to write the storage file " + quoted(c.path_));
        return std::optional<Item>(c.handle(made.number));
    });
}

std::optional<Item> Item::find(const std::wstring& name) const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& folder = c.folderOf(*this);
    checkItemName(name);
    if (CatalogItem* child = c.catalog_->child(folder, name))
        return c.handle(child->number);
    return std::nullopt;
}

Item Item::item(const std::wstring& name) const {
    std::optional<Item> found = find(name);
    if (!found) {
        Container& c = owner();
        Container::Lock hold(c.mutex_);
        fail(STG_E_FILENOTFOUND, L"There is no item " + shownName(name) + L" in " +
                                     c.describe(c.folderOf(*this)) + L".");
    }
    return *found;
}

void Item::rename(const std::wstring& oldName, const std::wstring& newName) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& folder = c.folderOf(*this);
    checkItemName(oldName);
    checkItemName(newName);
    CatalogItem* child = c.catalog_->child(folder, oldName);
    if (!child)
        fail(STG_E_FILENOTFOUND,
             L"There is no item " + shownName(oldName) + L" in " + c.describe(folder) + L".");
    CatalogItem* other = c.catalog_->child(folder, newName);
    if (other && other != child)
        fail(STG_E_FILEALREADYEXISTS, sentence(c.describe(*other)) + L" already exists.");
    c.change([&] { c.catalog_->rename(*child, newName, now()); });
}

void Item::remove(const std::wstring& name) {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& folder = c.folderOf(*this);
    checkItemName(name);
    CatalogItem* child = c.catalog_->child(folder, name);
    if (!child)
        fail(STG_E_FILENOTFOUND,
             L"There is no item " + shownName(name) + L" in " + c.describe(folder) + L".");
    ItemNumber number = child->number;
    c.change([&] {
        for (ItemNumber file : c.catalog_->remove(number, now()))
            c.dropDataStream(file);
    });
}

FileStream Item::openStream() {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    c.fileOf(*this);
    return FileStream(*this);
}

std::array<BYTE, 16> Item::checksum() const {
    Container& c = owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& file = c.fileOf(*this);
    return FileContents(c.dataStream(file.number), file, c.keys_->contents()).digest();
}

// ---- FileStream ------------------------------------------------------------

ULONG FileStream::read(ULONGLONG offset, void* buffer, ULONG size) {
    Container& c = file_.owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& file = c.fileOf(file_);
    if (!buffer && size)
        fail(E_POINTER, L"No buffer was given to read into.");
    return FileContents(c.dataStream(file.number), file, c.keys_->contents())
        .read(offset, static_cast<BYTE*>(buffer), size);
}

void FileStream::write(ULONGLONG offset, const void* data, ULONG size) {
    Container& c = file_.owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& file = c.fileOf(file_);
    if (!data && size)
        fail(E_POINTER, L"No bytes were given to write.");
    if (offset > FileContents::kMaxSize || size > FileContents::kMaxSize - offset)
        fail(STG_E_MEDIUMFULL, L"A file in a storage is at most 16 TiB long; " + c.describe(file) +
                                   L" cannot grow further.");
    try {
        FileContents(c.dataStream(file.number), file, c.keys_->contents())
            .write(offset, static_cast<const BYTE*>(data), size);
        file.times.write = file.times.access = now();
        c.catalog_->touch(file.number);
    } catch (...) {
        c.abandonLocked();
        throw;
    }
}

ULONGLONG FileStream::size() const {
    Container& c = file_.owner();
    Container::Lock hold(c.mutex_);
    return c.fileOf(file_).size;
}

void FileStream::setSize(ULONGLONG size) {
    Container& c = file_.owner();
    Container::Lock hold(c.mutex_);
    CatalogItem& file = c.fileOf(file_);
    if (size > FileContents::kMaxSize)
        fail(STG_E_MEDIUMFULL, L"A file in a storage is at most 16 TiB long.");
    if (size == file.size)
        return;
    try {
        FileContents(c.dataStream(file.number), file, c.keys_->contents()).resize(size);
        file.times.write = file.times.access = now();
        c.catalog_->touch(file.number);
    } catch (...) {
        c.abandonLocked();
        throw;
    }
}

void FileStream::commit() {
    Container& c = file_.owner();
    Container::Lock hold(c.mutex_);
    c.requireOpen(file_.epoch_);
    c.change([] {});
}

// ---- defragmentation -------------------------------------------------------

void defragmentContainer(const std::wstring& path) {
    JournaledFile::recover(path);
    {
        // Only a compound file goes to the compound-file layer.
        FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                fail(STG_E_FILENOTFOUND, L"The storage file " + quoted(path) + L" does not exist.");
            if (error == ERROR_SHARING_VIOLATION)
                fail(STG_E_SHAREVIOLATION,
                     L"The storage file " + quoted(path) + L" is in use; release it first.");
            SetLastError(error);
            failLastError(L"Unable to open " + quoted(path));
        }
        BYTE signature[8] = {};
        DWORD got = 0;
        if (!ReadFile(file.get(), signature, 8, &got, nullptr) || got != 8 ||
            std::memcmp(signature, kDocfileSignature, 8) != 0)
            fail(STG_E_DOCFILECORRUPT, notContainer(path));
    }
    ComPtr<IStorage> source;
    HRESULT hr = StgOpenStorageEx(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, STGFMT_DOCFILE,
                                  0, nullptr, nullptr, IID_IStorage,
                                  reinterpret_cast<void**>(source.GetAddressOf()));
    if (hr == STG_E_SHAREVIOLATION || hr == STG_E_LOCKVIOLATION)
        fail(hr, L"The storage file " + quoted(path) + L" is in use; release it first.");
    if (FAILED(hr))
        fail(STG_E_DOCFILECORRUPT, notContainer(path) + L" " + systemText(hr));
    ContainerHeader::decode(
        readStream(source.Get(), kHeaderStream, kMaxHeaderSize, notContainer(path)), path);

    std::wstring temporary = path + L"-defrag";
    DeleteFileW(temporary.c_str());
    try {
        ComPtr<IStorage> target = createDocfile(temporary);
        copyElements(source.Get(), target.Get(), path);
        checkCall(target->Commit(STGC_DEFAULT), L"Unable to write the new storage file");
        target.Reset();
        source.Reset();
        flushFile(temporary);
        if (!MoveFileExW(temporary.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            failLastError(L"Unable to replace " + quoted(path) + L" with its defragmented copy");
    } catch (...) {
        DeleteFileW(temporary.c_str());
        throw;
    }
}

} // namespace cfx::store
