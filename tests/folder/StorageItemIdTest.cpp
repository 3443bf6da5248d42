// The item identifier of the storage folder: its bytes, how it is made from a
// server item, and the list operations the folder builds on it, against
// hand-made cases, damaged and foreign identifiers, and random lists.
//
// Every list built here is walkable as a shell list (each cb within the
// buffer, a zero cb at the end): the shell's own list functions trust cb, as
// the shell does. A foreign identifier has a cb of 28 or less or another
// signature, and every read of one must answer E_INVALIDARG, never crash.
// Buffers carry zeros after the terminator: Wine's list comparison may read
// past a short identifier.
#include "folder/StorageItemId.h"

#include "common/ComObjectBase.h"
#include "common/Exceptions.h"
#include "support/FakeStorageItem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

using cfx::folder::ItemIdList;
using cfx::folder::ItemKind;
using cfx::test::FakeStorageItem;
using Bytes = std::vector<BYTE>;

namespace {

// {5D0C3A9E-71B4-4F28-9C6A-E3B7F1042D95} as bytes, written out by hand so
// that the layout is checked against the format, not the code.
const BYTE kSignatureBytes[16] = {0x9E, 0x3A, 0x0C, 0x5D, 0xB4, 0x71, 0x28, 0x4F,
                                  0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95};

// Watches the task allocator, which identifier lists come from, and can make
// allocations of one size fail. Registered for the whole program: a spy
// cannot be revoked while blocks it saw are alive.
class MallocSpy final : public cfx::ComObject<IMallocSpy> {
public:
    static MallocSpy& start(SIZE_T failingSize = 0) {
        static MallocSpy* spy = [] {
            auto* created = new MallocSpy();
            EXPECT_EQ(CoRegisterMallocSpy(created), S_OK);
            return created;
        }();
        spy->failingSize_ = failingSize;
        spy->recording_ = true;
        spy->failures = 0;
        spy->allocated.clear();
        spy->freed.clear();
        return *spy;
    }

    void stop() { recording_ = false, failingSize_ = 0; }

    std::map<void*, SIZE_T> allocated; // sizes by address, while recording
    std::set<const void*> freed;
    int failures = 0;

    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override {
        if (failingSize_ && request == failingSize_) {
            ++failures;
            return 0;
        }
        return request_ = request;
    }
    STDMETHODIMP_(void*) PostAlloc(void* actual) override {
        if (actual && recording_)
            allocated[actual] = request_;
        return actual;
    }
    STDMETHODIMP_(void*) PreFree(void* request, BOOL) override {
        if (recording_)
            freed.insert(request);
        return request;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** out, BOOL) override {
        *out = request;
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
    SIZE_T request_ = 0;
};

const BYTE* bytesOf(LPCITEMIDLIST list) {
    return reinterpret_cast<const BYTE*>(list);
}
Bytes listBytes(LPCITEMIDLIST list) {
    return Bytes(bytesOf(list), bytesOf(list) + ILGetSize(list));
}
LPCITEMIDLIST asList(const BYTE* bytes) {
    return reinterpret_cast<LPCITEMIDLIST>(bytes);
}

// The HRESULT an entry point would return for the body.
template <class Body> HRESULT entryPoint(Body&& body) {
    return cfx::guarded([&] { body(); });
}

cfx::test::FakeStorageItemPtr serverItem(std::optional<std::wstring> name, LONG type = 2,
                                         ULONGLONG size = 0) {
    auto item = FakeStorageItem::create();
    item->setName(std::move(name));
    item->setType(type);
    item->setSize(size);
    return item;
}

ItemIdList makeId(const std::wstring& name, LONG type = StorageItemFile, ULONGLONG size = 0) {
    ItemIdList id;
    cfx::folder::makeItemId(serverItem(name, type, size).get(), id.put());
    return id;
}

ItemIdList listOf(std::initializer_list<LPCITEMIDLIST> parts) {
    ItemIdList list;
    for (LPCITEMIDLIST part : parts)
        cfx::folder::combineInto(list, part);
    return list;
}

// An identifier's bytes as the format lays them out, made by the test itself.
Bytes expectedId(const std::wstring& name, std::uint32_t kind, std::uint64_t size) {
    Bytes item;
    auto put = [&item](const void* data, size_t count) {
        item.insert(item.end(), static_cast<const BYTE*>(data),
                    static_cast<const BYTE*>(data) + count);
    };
    const auto cb = static_cast<std::uint16_t>(34 + 2 * name.size());
    put(&cb, 2), put(kSignatureBytes, 16), put(&kind, 4), put(&size, 8);
    put(name.data(), 2 * name.size());
    item.resize(cb, 0);
    return item;
}

TEST(StorageItemId, IsOneTaskAllocatorBlockLaidOutByTheFormat) {
    auto item = serverItem(L"Report.txt", StorageItemFile, 0x0102030405060708ull);
    LPITEMIDLIST id = nullptr;
    MallocSpy& spy = MallocSpy::start();
    cfx::folder::makeItemId(item.get(), &id);
    ASSERT_EQ(spy.allocated.count(id), 1u);
    EXPECT_EQ(spy.allocated.at(id), 36u + 2 * 10);
    Bytes expected = expectedId(L"Report.txt", 2, 0x0102030405060708ull);
    expected.resize(expected.size() + 2); // the list's terminator
    EXPECT_EQ(listBytes(id), expected);
    // The server is asked for these three and nothing else.
    using Call = FakeStorageItem::Call;
    EXPECT_EQ(item->calls(), (std::vector<Call>{Call::GetName, Call::GetType, Call::GetSize}));
    spy.stop();
    ILFree(id);
}

TEST(StorageItemId, KeepsEveryNameTheServerGivesAndReadsItBack) {
    const struct {
        const char* what;
        std::optional<std::wstring> name;
        size_t length; // in cb, code units
        std::wstring read;
    } cases[] = {
        {"empty", std::wstring(), 0, L""},
        {"null", std::nullopt, 0, L""},
        {"non-ASCII", std::wstring(L"Caf\u00E9 \u65E5\u672C"), 7, L"Caf\u00E9 \u65E5\u672C"},
        {"surrogates, paired or not", std::wstring(L"\xD83D\xDE00 \xD800"), 4,
         L"\xD83D\xDE00 \xD800"},
        {"embedded zero", std::wstring(L"ab\0cd", 5), 5, L"ab"},
        {"longest", std::wstring(cfx::folder::kMaxItemNameLength, L'n'), 32750,
         std::wstring(32750, L'n')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ItemIdList id;
        cfx::folder::makeItemId(serverItem(c.name, 1, 9).get(), id.put());
        EXPECT_EQ(id.get()->mkid.cb, 34 + 2 * c.length);
        EXPECT_TRUE(cfx::folder::isOwnItem(id.get()));
        EXPECT_EQ(cfx::folder::nameOf(id.get()), c.read);
        EXPECT_EQ(cfx::folder::kindOf(id.get()), ItemKind::Folder);
        EXPECT_EQ(cfx::folder::sizeOf(id.get()), 9u);
    }
}

TEST(StorageItemId, FailuresKeepTheCallersListAndLeakNothing) {
    const struct {
        const char* what;
        std::wstring name;
        FakeStorageItem::Call failing; // GetType: none unless failure is set
        HRESULT failure;
        SIZE_T failingSize;
        HRESULT expected;
    } cases[] = {
        {"name too long for cb", std::wstring(cfx::folder::kMaxItemNameLength + 1, L'n'),
         FakeStorageItem::Call::GetType, S_OK, 0, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)},
        {"no memory", L"twelve chars", FakeStorageItem::Call::GetType, S_OK, 36 + 2 * 12,
         E_OUTOFMEMORY},
        {"GetName fails", L"secret.doc", FakeStorageItem::Call::GetName, STG_E_ACCESSDENIED, 0,
         STG_E_ACCESSDENIED},
        {"GetType fails", L"secret.doc", FakeStorageItem::Call::GetType, STG_E_ACCESSDENIED, 0,
         STG_E_ACCESSDENIED},
        {"GetSize fails", L"secret.doc", FakeStorageItem::Call::GetSize, STG_E_REVERTED, 0,
         STG_E_REVERTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto item = serverItem(c.name);
        if (FAILED(c.failure))
            item->failCall(c.failing, c.failure, L"Access to secret.doc is denied.");
        ItemIdList previous = makeId(L"previous");
        const Bytes before = listBytes(previous.get());
        LPITEMIDLIST out = previous.get();
        MallocSpy& spy = MallocSpy::start(c.failingSize);
        try {
            cfx::folder::makeItemId(item.get(), &out);
            ADD_FAILURE() << "no exception";
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), c.expected);
            if (FAILED(c.failure)) {
                // The server's error information travels with the failure.
                _bstr_t description = e.Description();
                EXPECT_STREQ(static_cast<const wchar_t*>(description),
                             L"Access to secret.doc is denied.");
            }
        }
        EXPECT_EQ(spy.failures, c.failingSize ? 1 : 0) << "not from the task allocator";
        EXPECT_EQ(out, previous.get());
        EXPECT_FALSE(spy.freed.count(previous.get()));
        EXPECT_EQ(listBytes(out), before);
        for (const auto& [block, size] : spy.allocated) {
            if (size == 36 + 2 * c.name.size()) {
                EXPECT_TRUE(spy.freed.count(block)) << "the half-made identifier leaked";
            }
        }
        spy.stop();
    }
    LPITEMIDLIST out = nullptr;
    EXPECT_EQ(entryPoint([&] { cfx::folder::makeItemId(nullptr, &out); }), E_POINTER);
    EXPECT_EQ(entryPoint([&] { cfx::folder::makeItemId(serverItem(L"x").get(), nullptr); }),
              E_POINTER);
}

TEST(StorageItemId, ReplacesAndFreesTheCallersPreviousList) {
    LPITEMIDLIST out = makeId(L"old").release();
    LPITEMIDLIST old = out;
    MallocSpy& spy = MallocSpy::start();
    cfx::folder::makeItemId(serverItem(L"new").get(), &out);
    EXPECT_TRUE(spy.freed.count(old));
    spy.stop();
    EXPECT_EQ(cfx::folder::nameOf(out), L"new");
    ILFree(out);
}

TEST(StorageItemId, OnlyCbAbove28AndEverySignatureBitMakeAnIdentifierOurs) {
    Bytes bytes = listBytes(makeId(L"name").get());
    for (std::uint16_t cb : {2, 18, 28, 29}) {
        std::memcpy(bytes.data(), &cb, 2);
        EXPECT_EQ(cfx::folder::isOwnItem(asList(bytes.data())), cb == 29) << cb;
    }
    // Only cb and the signature are checked; the name is read no further than cb.
    EXPECT_EQ(cfx::folder::nameOf(asList(bytes.data())), L"");
    for (int bit = 0; bit < 128; ++bit) {
        bytes[2 + bit / 8] ^= BYTE(1u << (bit % 8));
        EXPECT_FALSE(cfx::folder::isOwnItem(asList(bytes.data()))) << bit;
        bytes[2 + bit / 8] ^= BYTE(1u << (bit % 8));
    }
    const BYTE empty[2] = {0, 0};
    EXPECT_FALSE(cfx::folder::isOwnItem(nullptr));
    EXPECT_FALSE(cfx::folder::isOwnItem(asList(empty)));
    EXPECT_EQ(entryPoint([&] { cfx::folder::nameOf(nullptr); }), E_INVALIDARG);
}

TEST(StorageItemIdList, PathsPrefixesAndLastItems) {
    ItemIdList a = makeId(L"a", StorageItemFolder), b = makeId(L"b", StorageItemFolder);
    ItemIdList c = makeId(L"c"), blank = makeId(L"", StorageItemFolder);
    ItemIdList abc = listOf({a.get(), b.get(), c.get()});
    const BYTE empty[2] = {0, 0};
    EXPECT_EQ(cfx::folder::storagePath(abc.get()), L"a\\b\\c");
    EXPECT_EQ(cfx::folder::storagePath(listOf({blank.get(), b.get()}).get()), L"\\b");
    EXPECT_EQ(cfx::folder::storagePath(asList(empty)), L"");
    EXPECT_EQ(cfx::folder::storagePath(nullptr), L"");
    EXPECT_TRUE(cfx::folder::isPrefix(asList(empty), abc.get()));
    EXPECT_FALSE(cfx::folder::isPrefix(b.get(), abc.get()));
    EXPECT_EQ(bytesOf(cfx::folder::lastItem(abc.get())),
              bytesOf(abc.get()) + a.get()->mkid.cb + b.get()->mkid.cb);
    EXPECT_EQ(cfx::folder::lastItem(asList(empty)), asList(empty));
    EXPECT_EQ(cfx::folder::lastItem(nullptr), nullptr);
    EXPECT_FALSE(cfx::folder::combine(nullptr, nullptr));
}

TEST(StorageItemIdList, RelativePartOfAStorageFilesListPointsIntoIt) {
    // The storage file's own list, as the shell makes it.
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    ItemIdList root(ILCreateFromPathW(path));
    ItemIdList a = makeId(L"a", StorageItemFolder), b = makeId(L"b", StorageItemFolder);
    ItemIdList full = listOf({root.get(), a.get(), b.get()});
    LPCITEMIDLIST part = cfx::folder::relativePart(root.get(), full.get());
    EXPECT_EQ(bytesOf(part), bytesOf(full.get()) + ILGetSize(root.get()) - 2);
    EXPECT_EQ(cfx::folder::storagePath(part), L"a\\b");
    // The storage's root folder has no relative part.
    ItemIdList sameRoot(ILClone(root.get()));
    EXPECT_EQ(cfx::folder::relativePart(root.get(), sameRoot.get()), nullptr);
    EXPECT_EQ(cfx::folder::relativePart(full.get(), root.get()), nullptr);
}

TEST(StorageItemIdList, CombineIntoKeepsTheFirstListWhenMemoryRunsOut) {
    ItemIdList a = makeId(L"a", StorageItemFolder), b = makeId(L"b");
    LPITEMIDLIST list = ILClone(a.get());
    LPITEMIDLIST old = list;
    MallocSpy* spy = &MallocSpy::start();
    cfx::folder::combineInto(&list, b.get());
    EXPECT_TRUE(spy->freed.count(old));
    EXPECT_EQ(cfx::folder::storagePath(list), L"a\\b");

    LPITEMIDLIST kept = list;
    spy = &MallocSpy::start(ILGetSize(list) + ILGetSize(b.get()) - 2);
    EXPECT_EQ(entryPoint([&] { cfx::folder::combineInto(&list, b.get()); }), E_OUTOFMEMORY);
    EXPECT_EQ(spy->failures, 1);
    EXPECT_EQ(list, kept);
    EXPECT_FALSE(spy->freed.count(kept));
    spy->stop();
    ILFree(list);
}

// Damaged and foreign identifiers in a list: each reader refuses a foreign one
// with E_INVALIDARG and reads an own one no further than its cb; a list with a
// foreign identifier has no storage path.
TEST(StorageItemIdList, ForeignAndDamagedIdentifiersAreRefusedByEveryReader) {
    Bytes cutShort = expectedId(L"xy", 2, 5);
    cutShort.resize(32), cutShort[0] = 32; // one code unit, no terminator
    Bytes bitOff = expectedId(L"name", 2, 5), cb28 = expectedId(L"name", 2, 5);
    bitOff[17] ^= 0x40;
    cb28.resize(28), cb28[0] = 28;
    const struct {
        const char* what;
        Bytes item;
        std::wstring name; // read back from an own identifier; empty for a foreign one
        bool own;
    } cases[] = {
        {"ours", expectedId(L"name", 1, 5), L"name", true},
        {"cut inside its name", cutShort, L"x", true},
        {"a signature bit off", bitOff, L"", false},
        {"cb of 28", cb28, L"", false},
        {"cb of 4", Bytes{4, 0, 0x9E, 0x3A}, L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes list = expectedId(L"top", 1, 0);
        const size_t at = list.size();
        list.insert(list.end(), c.item.begin(), c.item.end());
        list.resize(list.size() + 64, 0);
        LPCITEMIDLIST id = asList(list.data() + at);
        const HRESULT want = c.own ? S_OK : E_INVALIDARG;
        std::wstring name, path;
        EXPECT_EQ(cfx::folder::isOwnItem(id), c.own);
        EXPECT_EQ(entryPoint([&] { cfx::folder::kindOf(id); }), want);
        EXPECT_EQ(entryPoint([&] { cfx::folder::sizeOf(id); }), want);
        EXPECT_EQ(entryPoint([&] { cfx::folder::isFolder(id); }), want);
        EXPECT_EQ(entryPoint([&] { name = cfx::folder::nameOf(id); }), want);
        EXPECT_EQ(entryPoint([&] { path = cfx::folder::storagePath(asList(list.data())); }), want);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(path, c.own ? L"top\\" + c.name : L"");
        EXPECT_EQ(cfx::folder::lastItem(asList(list.data())), id);
    }
}

// Lists that differ in the last byte of their last identifier are no prefix
// of each other, either way, and have no relative part.
TEST(StorageItemIdList, ALastByteChangedMakesNoPrefix) {
    ItemIdList a = makeId(L"a", StorageItemFolder), b = makeId(L"b");
    ItemIdList ab = listOf({a.get(), b.get()});
    Bytes changed = listBytes(ab.get());
    changed[changed.size() - 3] ^= 1;
    EXPECT_TRUE(cfx::folder::isPrefix(a.get(), ab.get()));
    EXPECT_FALSE(cfx::folder::isPrefix(asList(changed.data()), ab.get()));
    EXPECT_FALSE(cfx::folder::isPrefix(ab.get(), asList(changed.data())));
    EXPECT_EQ(cfx::folder::relativePart(asList(changed.data()), ab.get()), nullptr);
    EXPECT_EQ(ILGetSize(cfx::folder::combine(a.get(), ab.get()).get()),
              ILGetSize(a.get()) + ILGetSize(ab.get()) - 2);
}

// 25,000 random lists of identifiers made from own ones with the damage a
// stored list may carry: a signature bit off, cut short, garbage after the
// name (CFX_FUZZ_SEED repeats a run). Nothing crashes, every reader refuses a
// foreign identifier with E_INVALIDARG and reads an own one within its cb.
TEST(StorageItemIdFuzz, RandomAndMutatedListsNeverCrashAndForeignOnesAreRefused) {
    const char* text = std::getenv("CFX_FUZZ_SEED");
    const std::uint32_t seed = text ? std::uint32_t(std::strtoul(text, nullptr, 0)) : 0x5EED1D5u;
    std::mt19937 random(seed);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    for (int round = 0; round < 25000 && !HasFailure(); ++round) {
        Bytes list;
        std::vector<size_t> starts;
        std::vector<std::wstring> names;
        for (size_t count = below(6); count > 0; --count) {
            std::wstring name(below(4) ? below(13) : below(600), L'_');
            for (wchar_t& unit : name)
                unit = wchar_t(1 + below(0xFFFF)); // any code unit but the terminator
            const auto kind = std::uint32_t(1 + below(2));
            Bytes item = expectedId(name, kind, kind);
            if (const size_t damage = below(4); damage == 0)
                item[2 + below(16)] ^= BYTE(1u << below(8));
            else if (damage == 1)
                item.resize(2 + below(item.size() - 2));
            else if (damage == 2)
                item.resize(item.size() + below(64), BYTE(below(256)));
            const auto cb = static_cast<std::uint16_t>(item.size());
            std::memcpy(item.data(), &cb, 2);
            // The units the test itself finds before the terminator or cb.
            names.push_back(name.substr(0, cb >= 30 ? (cb - 30) / 2 : 0));
            starts.push_back(list.size());
            list.insert(list.end(), item.begin(), item.end());
        }
        list.resize(list.size() + 2 + 1024, 0);
        bool allOwn = true;
        for (size_t i = 0; i < starts.size(); ++i) {
            const BYTE* at = list.data() + starts[i];
            LPCITEMIDLIST id = asList(at);
            const bool own =
                (at[0] | at[1] << 8) > 28 && std::memcmp(at + 2, kSignatureBytes, 16) == 0;
            allOwn = allOwn && own;
            const HRESULT want = own ? S_OK : E_INVALIDARG;
            std::wstring name;
            std::uint64_t size = 0;
            EXPECT_EQ(cfx::folder::isOwnItem(id), own);
            EXPECT_EQ(entryPoint([&] { cfx::folder::kindOf(id); }), want);
            EXPECT_EQ(entryPoint([&] { size = cfx::folder::sizeOf(id); }), want);
            EXPECT_EQ(entryPoint([&] { name = cfx::folder::nameOf(id); }), want);
            if (own && (at[0] | at[1] << 8) >= 30) {
                EXPECT_EQ(name, names[i]);
                EXPECT_EQ(size, cfx::folder::isFolder(id) ? 1u : 2u);
            }
        }
        LPCITEMIDLIST whole = asList(list.data());
        EXPECT_EQ(entryPoint([&] { cfx::folder::storagePath(whole); }),
                  allOwn ? S_OK : E_INVALIDARG);
        EXPECT_EQ(bytesOf(cfx::folder::lastItem(whole)),
                  list.data() + (starts.empty() ? 0 : starts.back()));
        if (HasFailure())
            ADD_FAILURE() << "round " << round << " of seed " << seed << " (CFX_FUZZ_SEED)";
    }
}

} // namespace
