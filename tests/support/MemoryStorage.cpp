#include "support/MemoryStorage.h"

#include "common/ComObjectBase.h"
#include "common/ErrorObjectHook.h"
#include "common/Exceptions.h"

#include <oleauto.h>
#include <wincrypt.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace cfx::test {

namespace {

BSTR newBstr(const std::wstring& text) {
    BSTR result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!result)
        throw std::bad_alloc();
    return result;
}

// A VARIANT that owns its contents.
class Value {
public:
    Value() noexcept { VariantInit(&v_); }
    explicit Value(const VARIANT& v) : Value() {
        check(VariantCopy(&v_, const_cast<VARIANT*>(&v)));
    }
    Value(const Value& other) : Value(other.v_) {}
    Value& operator=(const Value& other) {
        Value copy(other);
        std::swap(v_, copy.v_);
        return *this;
    }
    ~Value() { VariantClear(&v_); }

    static Value text(const std::wstring& text) {
        Value value;
        value.v_.bstrVal = newBstr(text);
        value.v_.vt = VT_BSTR;
        return value;
    }

    const VARIANT& get() const noexcept { return v_; }

private:
    VARIANT v_;
};

struct Node {
    std::wstring name;
    bool folder = false;
    std::weak_ptr<Node> parent;
    bool removed = false;
    std::vector<std::shared_ptr<Node>> children;
    std::vector<BYTE> bytes;
    ItemTimes times{};
    std::vector<std::pair<GUID, Value>> properties; // in the order first set
};

struct Storage {
    std::wstring path;
    std::shared_ptr<Node> root;
    bool open = false;
    // Raised each time the storage closes, so that objects handed out before
    // can tell that they belong to an earlier opening.
    unsigned generation = 0;
    LONG state = StorageStateUnknown;

    void close() {
        open = false;
        ++generation;
    }
};

} // namespace

struct CatalogData {
    std::vector<std::shared_ptr<Storage>> storages;
    LONG liveServers = 0;

    std::shared_ptr<Storage> find(const std::wstring& path) const {
        for (const auto& storage : storages)
            if (CompareStringOrdinal(storage->path.c_str(), -1, path.c_str(), -1, TRUE) ==
                CSTR_EQUAL)
                return storage;
        return nullptr;
    }
};

namespace {

constexpr wchar_t kSource[] = L"MemoryStorage";

FILETIME now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return time;
}

bool sameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// Fails the current call: the error object goes to the calling thread, and COM
// carries it back with the HRESULT across apartments and processes.
[[noreturn]] void fail(HRESULT hr, const std::wstring& description) {
    setErrorObject(GUID_NULL, kSource, description);
    raise(hr);
}

// Every method body runs here, so that an error object left by an earlier
// call never travels with this call's result.
template <class Body> HRESULT serve(Body&& body) noexcept {
    SetErrorInfo(0, nullptr);
    return guarded(std::forward<Body>(body));
}

std::wstring fromBstr(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::wstring base64(const BYTE* bytes, DWORD size) {
    DWORD length = 0;
    DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    if (!CryptBinaryToStringW(bytes, size, flags, nullptr, &length))
        cfx::throwLastError();
    std::wstring text(length, L'\0');
    if (!CryptBinaryToStringW(bytes, size, flags, text.data(), &length))
        cfx::throwLastError();
    text.resize(length);
    return text;
}

std::wstring guidString(const GUID& id) {
    wchar_t text[40];
    StringFromGUID2(id, text, 40);
    return text;
}

void setProperty(Node& node, const GUID& id, const Value& value) {
    for (auto& property : node.properties)
        if (IsEqualGUID(property.first, id)) {
            property.second = value;
            return;
        }
    node.properties.emplace_back(id, value);
}

std::shared_ptr<Node> newNode(const std::wstring& name, bool folder,
                              const std::shared_ptr<Node>& parent) {
    auto node = std::make_shared<Node>();
    node->name = name;
    node->folder = folder;
    node->parent = parent;
    node->times.access = node->times.creation = node->times.write = now();
    GUID id;
    check(CoCreateGuid(&id));
    setProperty(*node, StorageProperty_Id, Value::text(guidString(id)));
    return node;
}

std::wstring itemPath(const Node& node) {
    // Names from the item up to (not including) the root, joined downwards.
    std::vector<const Node*> chain;
    for (const Node* n = &node; n; n = n->parent.lock().get())
        chain.push_back(n);
    chain.pop_back(); // the root folder has no place in a path
    std::wstring path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path += (path.empty() ? L"" : L"\\") + (*it)->name;
    return path;
}

class ItemInfo : public ComObject<IStorageItem, ISupportErrorInfo> {
public:
    explicit ItemInfo(const Node& node)
        : name_(node.name), type_(node.folder ? StorageItemFolder : StorageItemFile),
          times_(node.times), size_(node.bytes.size()) {}

    STDMETHODIMP GetType(LONG* type) override {
        return serve([&] { *notNull(type) = type_; });
    }
    STDMETHODIMP GetName(BSTR* name) override {
        return serve([&] { *notNull(name) = newBstr(name_); });
    }
    STDMETHODIMP GetTimes(ItemTimes* times) override {
        return serve([&] { *notNull(times) = times_; });
    }
    STDMETHODIMP GetSize(ULONGLONG* size) override {
        return serve([&] { *notNull(size) = size_; });
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, IID_IStorageItem) ? S_OK : S_FALSE;
    }

private:
    std::wstring name_;
    LONG type_;
    ItemTimes times_;
    ULONGLONG size_;
};

class ItemEnum : public ComObject<IStorageEnum, ISupportErrorInfo> {
public:
    explicit ItemEnum(std::vector<std::shared_ptr<Node>> items) : items_(std::move(items)) {}

    STDMETHODIMP Next(IStorageItem** item) override {
        return serve([&] {
            *notNull(item) = nullptr;
            if (next_ < items_.size())
                *item = new ItemInfo(*items_[next_++]);
        });
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, IID_IStorageEnum) ? S_OK : S_FALSE;
    }

private:
    std::vector<std::shared_ptr<Node>> items_;
    size_t next_ = 0;
};

// What every object inside an opened storage shares: the storage, the opening
// it belongs to and its node.
class Place {
public:
    Place(std::shared_ptr<Storage> storage, std::shared_ptr<Node> node)
        : storage_(std::move(storage)), generation_(storage_->generation), node_(std::move(node)) {}

    // The node, once it is known that the storage is still open as it was and
    // the node has not been deleted.
    Node& node() const {
        if (!storage_->open || storage_->generation != generation_)
            fail(STG_E_REVERTED, L"The storage " + quoted(storage_->path) +
                                     L" was closed since this item was opened.");
        for (const Node* n = node_.get(); n != storage_->root.get(); n = n->parent.lock().get())
            if (!n || n->removed)
                fail(STG_E_REVERTED, L"The item " + quoted(node_->name) + L" was deleted.");
        return *node_;
    }

    const std::shared_ptr<Storage>& storage() const noexcept { return storage_; }
    const std::shared_ptr<Node>& shared() const noexcept { return node_; }

private:
    std::shared_ptr<Storage> storage_;
    unsigned generation_;
    std::shared_ptr<Node> node_;
};

class MemoryStream : public ComObject<IStream> {
public:
    MemoryStream(Place place, ULONGLONG position) : place_(std::move(place)), position_(position) {
        addExtraInterface(IID_ISequentialStream, static_cast<IStream*>(this));
    }

    STDMETHODIMP Read(void* buffer, ULONG size, ULONG* read) override {
        return serve([&] {
            Node& node = place_.node();
            ULONG count = 0;
            if (position_ < node.bytes.size()) {
                count =
                    static_cast<ULONG>(std::min<ULONGLONG>(size, node.bytes.size() - position_));
                std::copy_n(node.bytes.data() + position_, count, static_cast<BYTE*>(buffer));
                position_ += count;
            }
            node.times.access = now();
            if (read)
                *read = count;
        });
    }
    STDMETHODIMP Write(const void* buffer, ULONG size, ULONG* written) override {
        return serve([&] {
            Node& node = place_.node();
            if (position_ + size > node.bytes.size())
                node.bytes.resize(position_ + size);
            std::copy_n(static_cast<const BYTE*>(buffer), size, node.bytes.data() + position_);
            position_ += size;
            node.times.write = now();
            if (written)
                *written = size;
        });
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
        return serve([&] {
            LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                            : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(position_)
                            : origin == STREAM_SEEK_END
                                ? static_cast<LONGLONG>(place_.node().bytes.size())
                                : -1;
            if (base < 0 || base + move.QuadPart < 0)
                raise(STG_E_INVALIDFUNCTION);
            position_ = static_cast<ULONGLONG>(base + move.QuadPart);
            if (position)
                position->QuadPart = position_;
        });
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override {
        return serve([&] {
            Node& node = place_.node();
            node.bytes.resize(size.QuadPart);
            node.times.write = now();
        });
    }
    STDMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                        ULARGE_INTEGER* written) override {
        return serve([&] {
            BYTE block[4096];
            ULONGLONG left = size.QuadPart, totalRead = 0, totalWritten = 0;
            while (left > 0) {
                ULONG got = 0, put = 0;
                check(
                    Read(block, static_cast<ULONG>(std::min<ULONGLONG>(left, sizeof block)), &got));
                if (got == 0)
                    break;
                totalRead += got;
                check(notNull(target)->Write(block, got, &put));
                totalWritten += put;
                left -= got;
            }
            if (read)
                read->QuadPart = totalRead;
            if (written)
                written->QuadPart = totalWritten;
        });
    }
    STDMETHODIMP Commit(DWORD) override {
        return serve([&] { place_.node(); });
    }
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override {
        return serve([&] {
            notNull(stat);
            const Node& node = place_.node();
            STATSTG result{};
            if (!(flags & STATFLAG_NONAME)) {
                result.pwcsName =
                    static_cast<LPOLESTR>(CoTaskMemAlloc((node.name.size() + 1) * sizeof(wchar_t)));
                if (!result.pwcsName)
                    throw std::bad_alloc();
                std::copy_n(node.name.c_str(), node.name.size() + 1, result.pwcsName);
            }
            result.type = STGTY_STREAM;
            result.cbSize.QuadPart = node.bytes.size();
            result.mtime = node.times.write;
            result.ctime = node.times.creation;
            result.atime = node.times.access;
            result.grfMode = STGM_READWRITE;
            *stat = result;
        });
    }
    STDMETHODIMP Clone(IStream** clone) override {
        return serve([&] { *notNull(clone) = new MemoryStream(place_, position_); });
    }

private:
    Place place_;
    ULONGLONG position_;
};

// The item and property calls, shared by folders and files. The storage
// interfaces form one line of inheritance, so the most derived interface
// answers for its bases too.
template <class Interface> class ItemObject : public ComObject<Interface, ISupportErrorInfo> {
public:
    explicit ItemObject(Place place) : place_(std::move(place)) {
        this->addExtraInterface(IID_IStorageObject, static_cast<Interface*>(this));
        this->addExtraInterface(IID_IStorageItem, static_cast<Interface*>(this));
    }

    STDMETHODIMP GetType(LONG* type) override {
        return serve(
            [&] { *notNull(type) = place_.node().folder ? StorageItemFolder : StorageItemFile; });
    }
    STDMETHODIMP GetName(BSTR* name) override {
        return serve([&] { *notNull(name) = newBstr(place_.node().name); });
    }
    STDMETHODIMP GetTimes(ItemTimes* times) override {
        return serve([&] { *notNull(times) = place_.node().times; });
    }
    STDMETHODIMP GetSize(ULONGLONG* size) override {
        return serve([&] { *notNull(size) = place_.node().bytes.size(); });
    }
    STDMETHODIMP GetPath(BSTR* path) override {
        return serve([&] { *notNull(path) = newBstr(itemPath(place_.node())); });
    }
    STDMETHODIMP GetProperty(GUID id, VARIANT* value) override {
        return serve([&] {
            VariantInit(notNull(value));
            for (const auto& property : place_.node().properties)
                if (IsEqualGUID(property.first, id))
                    check(VariantCopy(value, const_cast<VARIANT*>(&property.second.get())));
        });
    }
    STDMETHODIMP SetProperty(GUID id, VARIANT value) override {
        return serve([&] {
            if (value.vt == VT_EMPTY)
                removeProperty(id);
            else
                setProperty(place_.node(), id, Value(value));
        });
    }
    STDMETHODIMP RemoveProperty(GUID id) override {
        return serve([&] { removeProperty(id); });
    }
    STDMETHODIMP ListProperties(ULONG* count, GUID** ids) override {
        return serve([&] {
            const auto& properties = place_.node().properties;
            *notNull(count) = 0;
            *notNull(ids) = nullptr;
            if (properties.empty())
                return;
            auto* list = static_cast<GUID*>(CoTaskMemAlloc(properties.size() * sizeof(GUID)));
            if (!list)
                throw std::bad_alloc();
            for (size_t i = 0; i < properties.size(); ++i)
                list[i] = properties[i].first;
            *count = static_cast<ULONG>(properties.size());
            *ids = list;
        });
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        for (const IID* answered : {&IID_IStorageItem, &IID_IStorageObject, &__uuidof(Interface)})
            if (IsEqualIID(iid, *answered))
                return S_OK;
        return S_FALSE;
    }

protected:
    Place place_;

private:
    void removeProperty(const GUID& id) {
        auto& properties = place_.node().properties;
        properties.erase(std::remove_if(properties.begin(), properties.end(),
                                        [&](const auto& p) { return IsEqualGUID(p.first, id); }),
                         properties.end());
    }
};

class FileObject : public ItemObject<IStorageFile> {
public:
    using ItemObject::ItemObject;

    STDMETHODIMP OpenStream(IStream** stream) override {
        return serve([&] {
            place_.node();
            *notNull(stream) = new MemoryStream(place_, 0);
        });
    }
    STDMETHODIMP ComputeChecksum(BYTE checksum[16]) override {
        return serve([&] {
            const auto& bytes = place_.node().bytes;
            auto digest = contentDigest(bytes.data(), bytes.size());
            std::copy(digest.begin(), digest.end(), notNull(checksum));
        });
    }
};

IStorageObject* objectFor(const std::shared_ptr<Storage>& storage,
                          const std::shared_ptr<Node>& node);

class FolderObject : public ItemObject<IStorageFolder> {
public:
    using ItemObject::ItemObject;

    STDMETHODIMP EnumItems(IStorageEnum** items) override {
        return serve([&] { *notNull(items) = new ItemEnum(place_.node().children); });
    }
    STDMETHODIMP OpenFolder(BSTR name, VARIANT_BOOL create, IStorageFolder** folder) override {
        return serve([&] {
            *notNull(folder) = nullptr;
            auto child = find(name);
            if (child && !child->folder)
                fail(STG_E_PATHNOTFOUND, quoted(child->name) + L" is a file, not a folder.");
            if (!child && !create)
                fail(STG_E_PATHNOTFOUND,
                     L"There is no folder " + quoted(fromBstr(name)) + L" in " + where() + L".");
            if (!child)
                child = add(name, true);
            *folder = new FolderObject(Place(place_.storage(), child));
        });
    }
    STDMETHODIMP OpenFile(BSTR name, VARIANT_BOOL create, IStorageFile** file) override {
        return serve([&] {
            *notNull(file) = nullptr;
            auto child = find(name);
            if (child && child->folder) {
                if (create)
                    fail(STG_E_FILEALREADYEXISTS, L"A folder named " + quoted(child->name) +
                                                      L" exists in " + where() + L".");
                return;
            }
            if (!child && !create)
                return; // success without a file: no such file
            if (!child)
                child = add(name, false);
            *file = new FileObject(Place(place_.storage(), child));
        });
    }
    STDMETHODIMP RenameItem(BSTR oldName, BSTR newName) override {
        return serve([&] {
            auto child = existing(oldName);
            auto other = find(newName);
            if (other && other != child)
                fail(STG_E_FILEALREADYEXISTS,
                     quoted(other->name) + L" already exists in " + where() + L".");
            child->name = fromBstr(newName);
            place_.node().times.write = now();
        });
    }
    STDMETHODIMP DeleteItem(BSTR name) override {
        return serve([&] {
            auto child = existing(name);
            auto& children = place_.node().children;
            children.erase(std::find(children.begin(), children.end(), child));
            child->removed = true;
            place_.node().times.write = now();
        });
    }
    STDMETHODIMP GetItem(BSTR name, IStorageObject** item) override {
        return serve([&] {
            *notNull(item) = nullptr;
            *item = objectFor(place_.storage(), existing(name));
        });
    }
    STDMETHODIMP GetItemInfo(BSTR name, IStorageItem** item) override {
        return serve([&] {
            *notNull(item) = nullptr;
            *item = new ItemInfo(*existing(name));
        });
    }

private:
    std::wstring where() const {
        std::wstring path = itemPath(*place_.shared());
        return path.empty() ? L"the root of " + quoted(place_.storage()->path) : quoted(path);
    }

    // The child of that name, or null; fails for a name no item may have.
    std::shared_ptr<Node> find(BSTR name) const {
        std::wstring text = fromBstr(name);
        if (text.empty() || text.find_first_of(L"\\/:*?\"<>|") != std::wstring::npos)
            fail(STG_E_INVALIDNAME, quoted(text) + L" is not a valid item name.");
        for (const auto& child : place_.node().children)
            if (sameName(child->name, text))
                return child;
        return nullptr;
    }

    std::shared_ptr<Node> existing(BSTR name) const {
        auto child = find(name);
        if (!child)
            fail(STG_E_FILENOTFOUND,
                 L"There is no item " + quoted(fromBstr(name)) + L" in " + where() + L".");
        return child;
    }

    std::shared_ptr<Node> add(BSTR name, bool folder) {
        Node& parent = place_.node();
        auto child = newNode(fromBstr(name), folder, place_.shared());
        parent.children.push_back(child);
        parent.times.write = child->times.creation;
        return child;
    }
};

IStorageObject* objectFor(const std::shared_ptr<Storage>& storage,
                          const std::shared_ptr<Node>& node) {
    if (node->folder)
        return new FolderObject(Place(storage, node));
    return new FileObject(Place(storage, node));
}

std::shared_ptr<Storage> newStorage(CatalogData& catalog, const std::wstring& path) {
    auto storage = std::make_shared<Storage>();
    storage->path = path;
    storage->root = newNode(path.substr(path.find_last_of(L'\\') + 1), true, nullptr);
    storage->open = true;
    catalog.storages.push_back(storage);
    return storage;
}

class ServerRoot : public ComObject<IStorageServer, ISupportErrorInfo> {
public:
    explicit ServerRoot(std::shared_ptr<CatalogData> catalog) : catalog_(std::move(catalog)) {
        ++catalog_->liveServers;
    }
    ~ServerRoot() override { --catalog_->liveServers; }

    STDMETHODIMP OpenStorage(BSTR path, IStorageObject** storage) override {
        return serve([&] {
            *notNull(storage) = nullptr;
            auto found = existing(path);
            found->open = true;
            *storage = objectFor(found, found->root);
        });
    }
    STDMETHODIMP ReleaseStorage(BSTR path) override {
        return serve([&] { existing(path)->close(); });
    }
    STDMETHODIMP CreateStorage(BSTR path, ULONG certificateSize, const BYTE* certificate,
                               IStorageObject** storage) override {
        return serve([&] {
            *notNull(storage) = nullptr;
            std::wstring text = fromBstr(path);
            if (text.empty())
                fail(E_INVALIDARG, L"The storage needs a path.");
            if (catalog_->find(text))
                fail(STG_E_FILEALREADYEXISTS, L"The file " + quoted(text) + L" already exists.");
            std::wstring keyId = keyIdentifier(certificate, certificateSize);
            auto created = newStorage(*catalog_, text);
            setProperty(*created->root, StorageProperty_KeyId, Value::text(keyId));
            setProperty(*created->root, StorageProperty_KeyRecord,
                        Value::text(base64(certificate, certificateSize)));
            *storage = objectFor(created, created->root);
        });
    }
    STDMETHODIMP DefragmentStorage(BSTR path) override {
        // Memory needs no compacting; the call still refuses an unknown path.
        return serve([&] { existing(path); });
    }
    STDMETHODIMP ListStorages(SAFEARRAY** paths) override {
        return serve([&] {
            *notNull(paths) = nullptr;
            std::vector<std::wstring> open;
            for (const auto& storage : catalog_->storages)
                if (storage->open)
                    open.push_back(storage->path);
            SAFEARRAY* list = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(open.size()));
            if (!list)
                throw std::bad_alloc();
            for (LONG i = 0; i < static_cast<LONG>(open.size()); ++i) {
                BSTR text = newBstr(open[static_cast<size_t>(i)]);
                HRESULT hr = SafeArrayPutElement(list, &i, text); // copies the string
                SysFreeString(text);
                if (FAILED(hr)) {
                    SafeArrayDestroy(list);
                    raise(hr);
                }
            }
            *paths = list;
        });
    }
    STDMETHODIMP LockStorage(BSTR path) override {
        return serve([&] { existing(path)->close(); });
    }
    STDMETHODIMP GetServerInfo(DWORD* processId, LONG* rootObjects) override {
        return serve([&] {
            *notNull(processId) = GetCurrentProcessId();
            *notNull(rootObjects) = catalog_->liveServers;
        });
    }
    STDMETHODIMP CommitStorage(BSTR path) override {
        return serve([&] { existing(path); });
    }
    STDMETHODIMP SetStorageFrozen(BSTR path, LONG frozen) override {
        return serve([&] {
            auto storage = existing(path);
            if (frozen != 0 && frozen != 1)
                fail(E_INVALIDARG, L"The frozen state must be 0 or 1.");
            storage->state = frozen ? StorageStateFrozen : StorageStateOpen;
            if (frozen)
                storage->close();
        });
    }
    STDMETHODIMP GetStorageState(BSTR path, LONG* state) override {
        return serve([&] {
            auto storage = catalog_->find(fromBstr(path));
            *notNull(state) = storage ? storage->state : LONG{StorageStateUnknown};
        });
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return IsEqualIID(iid, IID_IStorageServer) ? S_OK : S_FALSE;
    }

private:
    std::shared_ptr<Storage> existing(BSTR path) const {
        auto storage = catalog_->find(fromBstr(path));
        if (!storage)
            fail(STG_E_FILENOTFOUND,
                 L"The storage " + quoted(fromBstr(path)) + L" does not exist.");
        return storage;
    }

    static std::wstring keyIdentifier(const BYTE* certificate, ULONG size) {
        if (!certificate || size == 0)
            fail(E_INVALIDARG, L"The storage needs a certificate.");
        PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, certificate, size);
        if (!context) {
            HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            fail(hr, L"The certificate cannot be read.");
        }
        BYTE id[64];
        DWORD length = sizeof id;
        BOOL ok =
            CertGetCertificateContextProperty(context, CERT_KEY_IDENTIFIER_PROP_ID, id, &length);
        DWORD error = GetLastError();
        CertFreeCertificateContext(context);
        if (!ok)
            throw cfx::win_except(error);
        return base64(id, length);
    }

    std::shared_ptr<CatalogData> catalog_;
};

} // namespace

MemoryCatalog::MemoryCatalog() : data_(std::make_shared<CatalogData>()) {}

IStorageServer* MemoryCatalog::createServer() const {
    return new ServerRoot(data_);
}

IStorageFolder* MemoryCatalog::addStorage(const std::wstring& path) const {
    auto storage = newStorage(*data_, path);
    return new FolderObject(Place(storage, storage->root));
}

LONG MemoryCatalog::liveServers() const {
    return data_->liveServers;
}

std::array<BYTE, 16> contentDigest(const void* bytes, size_t size) {
    std::array<BYTE, 16> digest{};
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    DWORD length = static_cast<DWORD>(digest.size());
    bool ok =
        CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
        CryptHashData(hash, static_cast<const BYTE*>(bytes), static_cast<DWORD>(size), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &length, 0);
    DWORD error = GetLastError();
    if (hash)
        CryptDestroyHash(hash);
    if (provider)
        CryptReleaseContext(provider, 0);
    if (!ok)
        throw cfx::win_except(error);
    return digest;
}

} // namespace cfx::test
