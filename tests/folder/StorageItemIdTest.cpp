// The item identifier of the storage folder: its bytes, how a foreign
// identifier is refused, and the list operations the folder builds on it.
#include "folder/StorageItemId.h"

#include "common/ComObjectBase.h"
#include "common/Exceptions.h"
#include "support/FakeStorageItem.h"
#include "support/ImageView.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

using cfx::ItemIdList;
using cfx::ItemKind;
using cfx::test::FakeStorageItem;

namespace {

// The signature GUID {5D0C3A9E-71B4-4F28-9C6A-E3B7F1042D95} as bytes, written
// out by hand so that the layout is checked against the format, not the code.
const BYTE kSignatureBytes[16] = {0x9E, 0x3A, 0x0C, 0x5D, 0xB4, 0x71, 0x28, 0x4F,
                                  0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95};

const HRESULT kNameTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

// Watches the task allocator, through which identifier lists are allocated
// and freed, and can make allocations of one size fail (other allocations,
// such as the server's BSTRs, go on). It stays registered for the whole
// program: a spy cannot be revoked while blocks it saw are alive.
class MallocSpy final : public cfx::ComObject<IMallocSpy> {
public:
    static MallocSpy& instance() {
        static MallocSpy* spy = [] {
            auto* created = new MallocSpy();
            HRESULT hr = CoRegisterMallocSpy(created);
            EXPECT_EQ(hr, S_OK) << "CoRegisterMallocSpy";
            return created;
        }();
        return *spy;
    }

    void start(SIZE_T failingSize = 0) {
        recording_ = true;
        failingSize_ = failingSize;
        failures_ = 0;
        allocated_.clear();
        freed_.clear();
    }
    void stop() {
        recording_ = false;
        failingSize_ = 0;
    }

    // Sizes of the blocks allocated while recording, by address.
    const std::map<void*, SIZE_T>& allocated() const { return allocated_; }
    bool wasFreed(const void* block) const { return freed_.count(block) != 0; }
    int failures() const { return failures_; }

    // IMallocSpy
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override {
        if (recording_ && failingSize_ != 0 && request == failingSize_) {
            ++failures_;
            return 0; // makes the allocation fail
        }
        request_ = request;
        return request;
    }
    STDMETHODIMP_(void*) PostAlloc(void* actual) override {
        if (recording_ && actual)
            allocated_[actual] = request_;
        return actual;
    }
    STDMETHODIMP_(void*) PreFree(void* request, BOOL) override {
        if (recording_)
            freed_.insert(request);
        return request;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL) override {
        *newRequest = request;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* actual, BOOL) override { return actual; }
    STDMETHODIMP_(void*) PreGetSize(void* request, BOOL) override { return request; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* request, BOOL) override { return request; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    MallocSpy() = default;

    bool recording_ = false;
    SIZE_T failingSize_ = 0;
    int failures_ = 0;
    SIZE_T request_ = 0;
    std::map<void*, SIZE_T> allocated_;
    std::set<const void*> freed_;
};

// Records allocations for the length of a scope.
class SpyScope {
public:
    explicit SpyScope(SIZE_T failingSize = 0) : spy_(MallocSpy::instance()) {
        spy_.start(failingSize);
    }
    ~SpyScope() { spy_.stop(); }
    SpyScope(const SpyScope&) = delete;
    SpyScope& operator=(const SpyScope&) = delete;
    MallocSpy* operator->() const { return &spy_; }

private:
    MallocSpy& spy_;
};

const BYTE* bytesOf(LPCITEMIDLIST list) {
    return reinterpret_cast<const BYTE*>(list);
}

std::vector<BYTE> listBytes(LPCITEMIDLIST list) {
    return std::vector<BYTE>(bytesOf(list), bytesOf(list) + ILGetSize(list));
}

LPCITEMIDLIST asList(const BYTE* bytes) {
    return reinterpret_cast<LPCITEMIDLIST>(bytes);
}

SIZE_T blockSize(const void* block) {
    IMalloc* malloc = nullptr;
    EXPECT_EQ(CoGetMalloc(MEMCTX_TASK, &malloc), S_OK);
    SIZE_T size = malloc->GetSize(const_cast<void*>(block));
    malloc->Release();
    return size;
}

// The HRESULT an entry point would return for the body.
template <class Body> HRESULT entryPoint(Body&& body) {
    return cfx::guarded([&] { body(); });
}

class StorageItemIdTest : public testing::Test {
protected:
    ItemIdList makeId(const std::wstring& name, LONG type = StorageItemFile, ULONGLONG size = 0) {
        auto item = FakeStorageItem::create();
        item->setName(name);
        item->setType(type);
        item->setSize(size);
        ItemIdList id;
        cfx::makeItemId(item.get(), id.put());
        return id;
    }

    ItemIdList listOf(std::initializer_list<LPCITEMIDLIST> parts) {
        ItemIdList list;
        for (LPCITEMIDLIST part : parts)
            cfx::combineInto(list, part);
        return list;
    }
};

// --- Layout ---------------------------------------------------------------

TEST_F(StorageItemIdTest, LaysOutEveryFieldAtItsOffset) {
    const std::wstring name = L"Report.txt";
    ItemIdList id = makeId(name, StorageItemFile, 0x0102030405060708ull);
    const BYTE* b = bytesOf(id.get());
    const size_t n = name.size();

    EXPECT_EQ(b[0], 34 + 2 * n);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(std::memcmp(b + 2, kSignatureBytes, 16), 0);
    const BYTE kind[4] = {2, 0, 0, 0};
    EXPECT_EQ(std::memcmp(b + 18, kind, 4), 0);
    const BYTE size[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(std::memcmp(b + 22, size, 8), 0);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(b[30 + 2 * i], name[i] & 0xFF) << i;
        EXPECT_EQ(b[31 + 2 * i], name[i] >> 8) << i;
    }
    // The name's terminator, the two bytes cb counts after it, and the list's
    // terminator at offset cb.
    for (size_t at = 30 + 2 * n; at < 36 + 2 * n; ++at)
        EXPECT_EQ(b[at], 0) << at;

    EXPECT_EQ(ILGetSize(id.get()), 36 + 2 * n);
    EXPECT_EQ(blockSize(id.get()), 36 + 2 * n);
    LPCITEMIDLIST next = ILGetNext(id.get());
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(bytesOf(next), b + 34 + 2 * n);
    EXPECT_EQ(next->mkid.cb, 0);
}

TEST_F(StorageItemIdTest, IsOneTaskAllocatorBlockOfTwoNPlus36Bytes) {
    const std::wstring name = L"abcdefg";
    auto item = FakeStorageItem::create();
    item->setName(name);
    LPITEMIDLIST id = nullptr;
    {
        SpyScope spy;
        cfx::makeItemId(item.get(), &id);
        ASSERT_EQ(spy->allocated().count(id), 1u);
        EXPECT_EQ(spy->allocated().at(id), 36 + 2 * name.size());
    }
    ILFree(id);
}

TEST_F(StorageItemIdTest, ReadsBackKindSizeAndName) {
    ItemIdList file = makeId(L"data.bin", StorageItemFile, 0xFEDCBA9876543210ull);
    EXPECT_TRUE(cfx::isOwnItem(file.get()));
    EXPECT_EQ(cfx::kindOf(file.get()), ItemKind::File);
    EXPECT_EQ(cfx::sizeOf(file.get()), 0xFEDCBA9876543210ull);
    EXPECT_EQ(cfx::nameOf(file.get()), L"data.bin");
    EXPECT_FALSE(cfx::isFolder(file.get()));

    ItemIdList folder = makeId(L"Folder", StorageItemFolder, 0);
    EXPECT_EQ(cfx::kindOf(folder.get()), ItemKind::Folder);
    EXPECT_TRUE(cfx::isFolder(folder.get()));
}

TEST_F(StorageItemIdTest, TreatsEveryKindButOneAsFile) {
    EXPECT_TRUE(cfx::isFolder(ItemKind::Folder));
    for (LONG type : {0L, 2L, 3L, 0x101L, -1L}) {
        ItemIdList id = makeId(L"x", type);
        EXPECT_EQ(static_cast<std::uint32_t>(cfx::kindOf(id.get())),
                  static_cast<std::uint32_t>(type));
        EXPECT_FALSE(cfx::isFolder(id.get())) << type;
    }
}

TEST_F(StorageItemIdTest, EmptyNameHasCb34AndIsOurs) {
    ItemIdList id = makeId(L"");
    EXPECT_EQ(id.get()->mkid.cb, 34);
    EXPECT_EQ(ILGetSize(id.get()), 36u);
    EXPECT_TRUE(cfx::isOwnItem(id.get()));
    EXPECT_EQ(cfx::nameOf(id.get()), L"");
}

TEST_F(StorageItemIdTest, NullNameCountsAsEmpty) {
    auto item = FakeStorageItem::create();
    item->setName(std::nullopt);
    ItemIdList id;
    cfx::makeItemId(item.get(), id.put());
    EXPECT_EQ(id.get()->mkid.cb, 34);
    EXPECT_EQ(blockSize(id.get()), 36u);
    EXPECT_EQ(cfx::nameOf(id.get()), L"");
}

TEST_F(StorageItemIdTest, AsksTheServerForNameTypeAndSizeOnly) {
    auto item = FakeStorageItem::create();
    ItemIdList id;
    cfx::makeItemId(item.get(), id.put());
    using Call = FakeStorageItem::Call;
    EXPECT_EQ(item->calls(), (std::vector<Call>{Call::GetName, Call::GetType, Call::GetSize}));
}

TEST_F(StorageItemIdTest, KeepsNonAsciiAndSurrogateCodeUnitsExactly) {
    // A surrogate pair counts as two code units; lone surrogates are kept as they are.
    const std::wstring names[] = {L"Caf\u00E9 \u65E5\u672C\u8A9E",
                                  std::wstring(L"smile \xD83D\xDE00"),
                                  std::wstring(L"\xD800 lone \xDFFF")};
    for (const std::wstring& name : names) {
        ItemIdList id = makeId(name);
        EXPECT_EQ(id.get()->mkid.cb, 34 + 2 * name.size());
        EXPECT_EQ(std::memcmp(bytesOf(id.get()) + 30, name.data(), 2 * name.size()), 0);
        EXPECT_EQ(cfx::nameOf(id.get()), name);
    }
}

TEST_F(StorageItemIdTest, SizesTheIdentifierByTheNamesFullLength) {
    // n is the BSTR's length even past an embedded zero; the name reads to the zero.
    ItemIdList id = makeId(std::wstring(L"ab\0cd", 5));
    EXPECT_EQ(id.get()->mkid.cb, 34 + 2 * 5);
    EXPECT_EQ(cfx::nameOf(id.get()), L"ab");
}

TEST_F(StorageItemIdTest, AcceptsTheLongestNameThatFitsCb) {
    const std::wstring name(cfx::kMaxItemNameLength, L'n');
    ASSERT_EQ(name.size(), 32750u);
    ItemIdList id = makeId(name);
    EXPECT_EQ(id.get()->mkid.cb, 65534);
    EXPECT_EQ(ILGetSize(id.get()), 65536u);
    EXPECT_EQ(blockSize(id.get()), 65536u);
    EXPECT_EQ(cfx::nameOf(id.get()), name);
}

TEST_F(StorageItemIdTest, RefusesANameTooLongForCb) {
    ItemIdList previous = makeId(L"previous");
    const std::vector<BYTE> before = listBytes(previous.get());
    auto item = FakeStorageItem::create();
    item->setName(std::wstring(cfx::kMaxItemNameLength + 1, L'n'));
    LPITEMIDLIST out = previous.get();
    {
        SpyScope spy;
        EXPECT_EQ(entryPoint([&] { cfx::makeItemId(item.get(), &out); }), kNameTooLong);
        EXPECT_FALSE(spy->wasFreed(previous.get()));
    }
    EXPECT_EQ(out, previous.get());
    EXPECT_EQ(listBytes(out), before);
}

TEST_F(StorageItemIdTest, ReplacesAndFreesTheCallersPreviousList) {
    ItemIdList previous = makeId(L"old");
    LPITEMIDLIST out = previous.release();
    LPITEMIDLIST old = out;
    auto item = FakeStorageItem::create();
    item->setName(std::wstring(L"new"));
    {
        SpyScope spy;
        cfx::makeItemId(item.get(), &out);
        EXPECT_TRUE(spy->wasFreed(old));
        EXPECT_EQ(spy->allocated().count(out), 1u);
    }
    EXPECT_NE(out, old);
    EXPECT_EQ(cfx::nameOf(out), L"new");
    ILFree(out);
}

TEST_F(StorageItemIdTest, AllocationFailureGivesOutOfMemoryAndKeepsTheOldList) {
    ItemIdList previous = makeId(L"previous");
    auto item = FakeStorageItem::create();
    item->setName(std::wstring(L"twelve chars"));
    LPITEMIDLIST out = previous.get();
    {
        SpyScope spy(36 + 2 * 12);
        EXPECT_EQ(entryPoint([&] { cfx::makeItemId(item.get(), &out); }), E_OUTOFMEMORY);
        EXPECT_EQ(spy->failures(), 1) << "the identifier was not allocated by the task allocator";
        EXPECT_FALSE(spy->wasFreed(previous.get()));
    }
    EXPECT_EQ(out, previous.get());
}

TEST_F(StorageItemIdTest, NullArgumentsGivePointerErrors) {
    LPITEMIDLIST out = nullptr;
    EXPECT_EQ(entryPoint([&] { cfx::makeItemId(nullptr, &out); }), E_POINTER);
    auto item = FakeStorageItem::create();
    EXPECT_EQ(entryPoint([&] { cfx::makeItemId(item.get(), nullptr); }), E_POINTER);
}

// --- Server failures -------------------------------------------------------

class ServerFailureTest : public StorageItemIdTest,
                          public testing::WithParamInterface<FakeStorageItem::Call> {};

TEST_P(ServerFailureTest, CarriesTheServersErrorAndLeaksNothing) {
    const HRESULT failure = STG_E_ACCESSDENIED;
    auto item = FakeStorageItem::create();
    item->setName(std::wstring(L"secret.doc"));
    item->failCall(GetParam(), failure, L"Access to secret.doc is denied.");

    ItemIdList previous = makeId(L"previous");
    LPITEMIDLIST out = previous.get();
    SpyScope spy;
    try {
        cfx::makeItemId(item.get(), &out);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), failure);
        IErrorInfo* info = e.ErrorInfo();
        ASSERT_NE(info, nullptr) << "the server's error information was dropped";
        BSTR description = nullptr;
        EXPECT_EQ(info->GetDescription(&description), S_OK);
        EXPECT_STREQ(description, L"Access to secret.doc is denied.");
        SysFreeString(description);
        info->Release();
    }
    EXPECT_EQ(out, previous.get());
    EXPECT_FALSE(spy->wasFreed(previous.get()));
    // A block made before the failing call is given back.
    for (const auto& [block, size] : spy->allocated()) {
        if (size == 36 + 2 * 10) {
            EXPECT_TRUE(spy->wasFreed(block));
        }
    }

    // An entry point returns the server's HRESULT itself.
    EXPECT_EQ(entryPoint([&] { cfx::makeItemId(item.get(), &out); }), failure);
}

INSTANTIATE_TEST_SUITE_P(EachCall, ServerFailureTest,
                         testing::Values(FakeStorageItem::Call::GetName,
                                         FakeStorageItem::Call::GetType,
                                         FakeStorageItem::Call::GetSize),
                         [](const testing::TestParamInfo<FakeStorageItem::Call>& call) {
                             switch (call.param) {
                             case FakeStorageItem::Call::GetName:
                                 return "GetName";
                             case FakeStorageItem::Call::GetType:
                                 return "GetType";
                             default:
                                 return "GetSize";
                             }
                         });

// --- Own and foreign identifiers ---------------------------------------------

TEST_F(StorageItemIdTest, CbOf28OrLessIsForeignAnd29IsOurs) {
    ItemIdList id = makeId(L"name");
    std::vector<BYTE> bytes = listBytes(id.get());
    for (std::uint16_t cb : {std::uint16_t(2), std::uint16_t(18), std::uint16_t(28)}) {
        std::memcpy(bytes.data(), &cb, 2);
        EXPECT_FALSE(cfx::isOwnItem(asList(bytes.data()))) << cb;
        EXPECT_EQ(entryPoint([&] { cfx::itemPayload(asList(bytes.data())); }), E_INVALIDARG);
    }
    // Only cb and the signature are checked, not that cb fits the name.
    const std::uint16_t cb = 29;
    std::memcpy(bytes.data(), &cb, 2);
    EXPECT_TRUE(cfx::isOwnItem(asList(bytes.data())));
    EXPECT_EQ(cfx::itemPayload(asList(bytes.data())), bytes.data() + 2);
    EXPECT_EQ(cfx::nameOf(asList(bytes.data())), L"") << "read the name past cb";
}

TEST_F(StorageItemIdTest, EverySignatureBitCounts) {
    ItemIdList id = makeId(L"name");
    std::vector<BYTE> bytes = listBytes(id.get());
    for (int bit = 0; bit < 128; ++bit) {
        bytes[2 + bit / 8] ^= BYTE(1u << (bit % 8));
        EXPECT_FALSE(cfx::isOwnItem(asList(bytes.data()))) << bit;
        bytes[2 + bit / 8] ^= BYTE(1u << (bit % 8));
    }
    EXPECT_TRUE(cfx::isOwnItem(asList(bytes.data())));
}

TEST_F(StorageItemIdTest, NullAndEmptyListsAreForeign) {
    const BYTE empty[2] = {0, 0};
    EXPECT_FALSE(cfx::isOwnItem(nullptr));
    EXPECT_FALSE(cfx::isOwnItem(asList(empty)));
}

TEST_F(StorageItemIdTest, EveryReadOfAForeignIdentifierGivesInvalidArg) {
    ItemIdList id = makeId(L"name", StorageItemFolder);
    std::vector<BYTE> bytes = listBytes(id.get());
    bytes[17] ^= 0x80;
    LPCITEMIDLIST foreign = asList(bytes.data());
    try {
        cfx::itemPayload(foreign);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_INVALIDARG);
    }
    EXPECT_EQ(entryPoint([&] { cfx::kindOf(foreign); }), E_INVALIDARG);
    EXPECT_EQ(entryPoint([&] { cfx::sizeOf(foreign); }), E_INVALIDARG);
    EXPECT_EQ(entryPoint([&] { cfx::nameOf(foreign); }), E_INVALIDARG);
    EXPECT_EQ(entryPoint([&] { cfx::isFolder(foreign); }), E_INVALIDARG);
    EXPECT_EQ(entryPoint([&] { cfx::storagePath(foreign); }), E_INVALIDARG);
    EXPECT_EQ(entryPoint([&] { cfx::nameOf(nullptr); }), E_INVALIDARG);
}

TEST_F(StorageItemIdTest, ReadsIdentifiersAtAnyAddress) {
    ItemIdList id = makeId(L"unaligned", StorageItemFile, 0x8877665544332211ull);
    const std::vector<BYTE> bytes = listBytes(id.get());
    alignas(16) BYTE buffer[128] = {};
    ASSERT_LT(bytes.size() + 16, sizeof buffer);
    for (size_t shift = 0; shift < 8; ++shift) {
        std::memcpy(buffer + 8 + shift, bytes.data(), bytes.size());
        LPCITEMIDLIST moved = asList(buffer + 8 + shift);
        EXPECT_TRUE(cfx::isOwnItem(moved)) << shift;
        EXPECT_EQ(cfx::kindOf(moved), ItemKind::File) << shift;
        EXPECT_EQ(cfx::sizeOf(moved), 0x8877665544332211ull) << shift;
        EXPECT_EQ(cfx::nameOf(moved), L"unaligned") << shift;
        EXPECT_EQ(cfx::storagePath(moved), L"unaligned") << shift;
        EXPECT_TRUE(cfx::isPrefix(moved, id.get())) << shift;
        EXPECT_TRUE(cfx::isPrefix(id.get(), moved)) << shift;
        std::memset(buffer, 0, sizeof buffer);
    }
}

// --- Lists -----------------------------------------------------------------------

TEST_F(StorageItemIdTest, StoragePathJoinsNamesWithSingleBackslashes) {
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b", StorageItemFolder);
    ItemIdList c = makeId(L"c");
    ItemIdList abc = listOf({a.get(), b.get(), c.get()});
    EXPECT_EQ(cfx::storagePath(abc.get()), L"a\\b\\c");
    EXPECT_EQ(cfx::storagePath(a.get()), L"a");

    const BYTE empty[2] = {0, 0};
    EXPECT_EQ(cfx::storagePath(asList(empty)), L"");
    EXPECT_EQ(cfx::storagePath(nullptr), L"");

    // The separator goes between positions, whatever the names hold.
    ItemIdList blank = makeId(L"", StorageItemFolder);
    ItemIdList blankB = listOf({blank.get(), b.get()});
    EXPECT_EQ(cfx::storagePath(blankB.get()), L"\\b");
}

TEST_F(StorageItemIdTest, StoragePathRefusesAForeignIdentifierAnywhere) {
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b", StorageItemFolder);
    ItemIdList c = makeId(L"c");
    ItemIdList abc = listOf({a.get(), b.get(), c.get()});
    std::vector<BYTE> bytes = listBytes(abc.get());
    const size_t second = a.get()->mkid.cb;
    bytes[second + 2] ^= 0x01;
    EXPECT_EQ(entryPoint([&] { cfx::storagePath(asList(bytes.data())); }), E_INVALIDARG);
}

TEST_F(StorageItemIdTest, PrefixComparesWholeIdentifiersByteForByte) {
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b", StorageItemFolder);
    ItemIdList c = makeId(L"c", StorageItemFile, 7);
    ItemIdList ab = listOf({a.get(), b.get()});
    ItemIdList abc = listOf({a.get(), b.get(), c.get()});
    const BYTE empty[2] = {0, 0};

    EXPECT_TRUE(cfx::isPrefix(ab.get(), abc.get()));
    EXPECT_TRUE(cfx::isPrefix(abc.get(), abc.get()));
    EXPECT_TRUE(cfx::isPrefix(asList(empty), abc.get()));
    EXPECT_FALSE(cfx::isPrefix(abc.get(), ab.get()));
    EXPECT_FALSE(cfx::isPrefix(ab.get(), nullptr));
    EXPECT_FALSE(cfx::isPrefix(b.get(), abc.get()));

    // Same name, different size: a different item as far as the list goes.
    ItemIdList c2 = makeId(L"c", StorageItemFile, 8);
    ItemIdList abc2 = listOf({a.get(), b.get(), c2.get()});
    EXPECT_FALSE(cfx::isPrefix(abc2.get(), abc.get()));
    EXPECT_EQ(cfx::storagePath(abc2.get()), cfx::storagePath(abc.get()));

    // Every byte after cb counts, up to the last one cb covers.
    std::vector<BYTE> bytes = listBytes(abc.get());
    const size_t last = a.get()->mkid.cb + b.get()->mkid.cb;
    const size_t cb = c.get()->mkid.cb;
    for (size_t at = last + 2; at < last + cb; ++at) {
        bytes[at] ^= 0x40;
        EXPECT_FALSE(cfx::isPrefix(asList(bytes.data()), abc.get())) << at;
        EXPECT_FALSE(cfx::isPrefix(abc.get(), asList(bytes.data()))) << at;
        bytes[at] ^= 0x40;
    }
    EXPECT_TRUE(cfx::isPrefix(asList(bytes.data()), abc.get()));
}

TEST_F(StorageItemIdTest, RelativePartPointsIntoTheFullList) {
    // The storage file's own list, as the shell makes it.
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    ItemIdList root(ILCreateFromPathW(path));
    ASSERT_TRUE(root);

    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b", StorageItemFolder);
    ItemIdList full = listOf({root.get(), a.get(), b.get()});

    LPCITEMIDLIST part = cfx::relativePart(root.get(), full.get());
    EXPECT_EQ(bytesOf(part), bytesOf(full.get()) + ILGetSize(root.get()) - 2);
    EXPECT_EQ(cfx::storagePath(part), L"a\\b");

    // The root folder of a storage has no relative part and an empty path.
    ItemIdList sameRoot(ILClone(root.get()));
    EXPECT_EQ(cfx::relativePart(root.get(), sameRoot.get()), nullptr);
    EXPECT_EQ(cfx::storagePath(cfx::relativePart(root.get(), sameRoot.get())), L"");

    EXPECT_EQ(cfx::relativePart(nullptr, full.get()), nullptr);
    ItemIdList other = listOf({root.get(), b.get()});
    EXPECT_EQ(cfx::relativePart(other.get(), full.get()), nullptr);
    EXPECT_EQ(cfx::relativePart(full.get(), root.get()), nullptr);
}

TEST_F(StorageItemIdTest, RelativePartOfAListAgainstItselfIsEmpty) {
    // Whether the shell calls two lists holding our identifiers equal depends
    // on the shell (Wine's list comparison knows only its own item types);
    // either way nothing is left below the list itself.
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b");
    ItemIdList ab = listOf({a.get(), b.get()});
    ItemIdList copy(ILClone(ab.get()));
    LPCITEMIDLIST part = cfx::relativePart(ab.get(), copy.get());
    if (part) {
        EXPECT_EQ(bytesOf(part), bytesOf(copy.get()) + ILGetSize(copy.get()) - 2);
    }
    EXPECT_EQ(cfx::storagePath(part), L"");
}

TEST_F(StorageItemIdTest, CombineAppendsTheSecondList) {
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b");
    ItemIdList ab = cfx::combine(a.get(), b.get());
    std::vector<BYTE> expected = listBytes(a.get());
    expected.resize(expected.size() - 2);
    const std::vector<BYTE> tail = listBytes(b.get());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(listBytes(ab.get()), expected);

    ItemIdList copy = cfx::combine(nullptr, b.get());
    EXPECT_NE(copy.get(), b.get());
    EXPECT_EQ(listBytes(copy.get()), tail);
    EXPECT_FALSE(cfx::combine(nullptr, nullptr));
}

TEST_F(StorageItemIdTest, CombineIntoReplacesAndFreesTheFirstList) {
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b");
    LPITEMIDLIST list = ILClone(a.get());
    LPITEMIDLIST old = list;
    {
        SpyScope spy;
        cfx::combineInto(&list, b.get());
        EXPECT_TRUE(spy->wasFreed(old));
    }
    EXPECT_EQ(cfx::storagePath(list), L"a\\b");

    {
        SpyScope spy(ILGetSize(list) + ILGetSize(b.get()) - 2);
        LPITEMIDLIST kept = list;
        EXPECT_EQ(entryPoint([&] { cfx::combineInto(&list, b.get()); }), E_OUTOFMEMORY);
        EXPECT_EQ(spy->failures(), 1);
        EXPECT_EQ(list, kept);
        EXPECT_FALSE(spy->wasFreed(kept));
    }
    EXPECT_EQ(cfx::storagePath(list), L"a\\b");
    ILFree(list);
}

TEST_F(StorageItemIdTest, LastItemDecidesFolderOrFile) {
    ItemIdList a = makeId(L"a", StorageItemFolder);
    ItemIdList b = makeId(L"b");
    ItemIdList ab = listOf({a.get(), b.get()});
    LPCITEMIDLIST last = cfx::lastItem(ab.get());
    EXPECT_EQ(bytesOf(last), bytesOf(ab.get()) + a.get()->mkid.cb);
    EXPECT_FALSE(cfx::isFolder(last));
    EXPECT_TRUE(cfx::isFolder(cfx::lastItem(a.get())));

    const BYTE empty[2] = {0, 0};
    EXPECT_EQ(cfx::lastItem(asList(empty)), asList(empty));
    EXPECT_EQ(entryPoint([&] { cfx::isFolder(cfx::lastItem(asList(empty))); }), E_INVALIDARG);
    EXPECT_EQ(cfx::lastItem(nullptr), nullptr);
}

// This program links the identifier module as the DLL does, so its own
// imports show how the module reaches shell32: by ordinal only.
TEST(ItemListImports, ComeFromShell32ByOrdinal) {
    const std::set<std::string> ordinals = {"#16",  "#18",  "#21",  "#25",
                                            "#152", "#153", "#155", "#190"};
    std::set<std::string> used;
    for (const auto& [dll, function] : cfx::test::ImageView(GetModuleHandleW(nullptr)).imports()) {
        if (dll != "shell32.dll")
            continue;
        EXPECT_NE(function.rfind("IL", 0), 0u) << function << " is imported by name";
        if (ordinals.count(function))
            used.insert(function);
    }
    // ILGetSize, ILGetNext, ILFree, ILIsEqual and ILCombine at least.
    EXPECT_GE(used.size(), 5u);
}

} // namespace
