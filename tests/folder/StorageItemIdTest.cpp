// The storage folder's item identifier: its bytes, how it is made from a
// server item, and the readers of damaged lists.
#include "folder/StorageItemId.h"

#include "common/ComObjectBase.h"
#include "common/Exceptions.h"
#include "support/FakeStorageItem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <tuple>
#include <set>

namespace {

namespace folder = cfx::folder;
using Bytes = std::vector<BYTE>;
using Call = cfx::test::FakeStorageItem::Call;

// Watches the task allocator and fails allocations of one size. Registered
// for good: a spy cannot be revoked while blocks it saw are alive.
class MallocSpy final : public cfx::ComObject<IMallocSpy> {
public:
    static MallocSpy& start(SIZE_T failingSize = 0) {
        static MallocSpy* spy = new MallocSpy();
        static const HRESULT registered = CoRegisterMallocSpy(spy);
        EXPECT_EQ(registered, S_OK);
        spy->allocated.clear(), spy->freed.clear();
        spy->failingSize_ = failingSize;
        return *spy;
    }
    std::map<void*, SIZE_T> allocated; // sizes by address
    std::set<const void*> freed;

    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override {
        return size_ = size == failingSize_ ? 0 : size;
    }
    STDMETHODIMP_(void*) PostAlloc(void* actual) override {
        return allocated[actual] = size_, actual;
    }
    STDMETHODIMP_(void*) PreFree(void* request, BOOL) override {
        return freed.insert(request), request;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** out, BOOL) override {
        return *out = request, size;
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
    SIZE_T failingSize_ = 0, size_ = 0;
};

Bytes listBytes(LPCITEMIDLIST list) {
    return Bytes(reinterpret_cast<const BYTE*>(list),
                 reinterpret_cast<const BYTE*>(list) + ILGetSize(list));
}
LPCITEMIDLIST asList(const Bytes& bytes, size_t at = 0) {
    return reinterpret_cast<LPCITEMIDLIST>(bytes.data() + at);
}

cfx::test::FakeStorageItemPtr serverItem(std::optional<std::wstring> name, LONG type = 1,
                                         ULONGLONG size = 0x0102030405060708ull) {
    auto item = cfx::test::FakeStorageItem::create();
    item->setName(std::move(name)), item->setType(type), item->setSize(size);
    return item;
}
folder::ItemIdList makeId(const std::wstring& name, LONG type = StorageItemFile) {
    folder::ItemIdList id;
    folder::makeItemId(serverItem(name, type).get(), id.put());
    return id;
}

// An identifier's bytes as the format lays them out, made by the test itself:
// {5D0C3A9E-71B4-4F28-9C6A-E3B7F1042D95} written out by hand.
const BYTE kSignatureBytes[16] = {0x9E, 0x3A, 0x0C, 0x5D, 0xB4, 0x71, 0x28, 0x4F,
                                  0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95};
Bytes expectedId(const std::wstring& name, std::uint32_t kind, std::uint64_t size) {
    Bytes item(34 + 2 * name.size(), 0);
    item[0] = BYTE(item.size()), item[1] = BYTE(item.size() >> 8);
    std::memcpy(&item[2], kSignatureBytes, 16), std::memcpy(&item[18], &kind, 4);
    std::memcpy(&item[22], &size, 8), std::memcpy(&item[30], name.data(), 2 * name.size());
    return item;
}

// One block laid out by the format, whatever the name; the server is asked
// three things only; the caller's previous list is freed.
TEST(StorageItemId, IsOneTaskAllocatorBlockLaidOutByTheFormat) {
    const std::pair<std::optional<std::wstring>, std::wstring> names[] = {
        {std::nullopt, L""},
        {L"Caf\u00E9 \u65E5\u672C \xD83D\xDE00 \xD800",
         L"Caf\u00E9 \u65E5\u672C \xD83D\xDE00 \xD800"},
        {std::wstring(L"ab\0cd", 5), L"ab"},
        {std::wstring(folder::kMaxItemNameLength, L'n'), std::wstring(32750, L'n')},
    };
    for (const auto& [name, read] : names) {
        auto item = serverItem(name);
        LPITEMIDLIST id = makeId(L"old").release(), old = id;
        MallocSpy& spy = MallocSpy::start();
        folder::makeItemId(item.get(), &id);
        EXPECT_TRUE(spy.freed.count(old));
        Bytes expected = expectedId(name.value_or(L""), 1, 0x0102030405060708ull);
        expected.resize(expected.size() + 2); // the list's terminator
        EXPECT_EQ(spy.allocated[id], expected.size());
        EXPECT_EQ(listBytes(id), expected);
        EXPECT_EQ(item->calls(), (std::vector<Call>{Call::GetName, Call::GetType, Call::GetSize}));
        EXPECT_EQ(folder::nameOf(id), read);
        ILFree(id);
    }
}

// A failure leaves the caller's list as it was, frees what was half made and
// carries the server's error information.
TEST(StorageItemId, FailuresKeepTheCallersListAndLeakNothing) {
    for (const auto& [name, failingSize, expected] :
         {std::tuple{std::wstring(folder::kMaxItemNameLength + 1, L'n'), SIZE_T(0),
                     HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)},
          std::tuple{std::wstring(L"twelve chars"), SIZE_T(36 + 2 * 12), E_OUTOFMEMORY},
          std::tuple{std::wstring(L"secret.doc"), SIZE_T(0), STG_E_ACCESSDENIED}}) {
        auto item = serverItem(name);
        if (expected == STG_E_ACCESSDENIED)
            item->failCall(Call::GetSize, expected, L"Access to secret.doc is denied.");
        folder::ItemIdList previous = makeId(L"previous");
        const Bytes before = listBytes(previous.get());
        LPITEMIDLIST out = previous.get();
        MallocSpy& spy = MallocSpy::start(failingSize);
        try {
            folder::makeItemId(item.get(), &out);
            ADD_FAILURE() << "no exception";
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), expected);
            EXPECT_STREQ(e.Description(), expected == STG_E_ACCESSDENIED
                                              ? L"Access to secret.doc is denied."
                                              : nullptr);
        }
        EXPECT_EQ(out, previous.get());
        EXPECT_FALSE(spy.freed.count(previous.get()));
        EXPECT_EQ(listBytes(out), before);
        for (const auto& [block, size] : spy.allocated)
            EXPECT_TRUE(size != 36 + 2 * name.size() || spy.freed.count(block)) << "leaked";
        MallocSpy::start();
    }
}

// Random lists with a stored list's damage (a signature bit off, cut short,
// garbage after the name): every reader refuses a foreign identifier (cb of 28
// or less, or another signature) and reads an own one within its cb. Zeros
// follow: Wine's list comparison may read past a short identifier.
TEST(StorageItemIdFuzz, RandomAndDamagedListsNeverCrashAndForeignOnesAreRefused) {
    std::mt19937 random(0x5EED1D5u);
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
            item[0] = BYTE(item.size()), item[1] = BYTE(item.size() >> 8);
            // The units the test itself finds before the terminator or cb.
            names.push_back(name.substr(0, item.size() >= 30 ? (item.size() - 30) / 2 : 0));
            starts.push_back(list.size());
            list.insert(list.end(), item.begin(), item.end());
        }
        list.resize(list.size() + 2 + 1024, 0);
        bool allOwn = true;
        for (size_t i = 0; i < starts.size(); ++i) {
            const BYTE* at = &list[starts[i]];
            const bool own =
                (at[0] | at[1] << 8) > 28 && std::memcmp(at + 2, kSignatureBytes, 16) == 0;
            const HRESULT want = own ? S_OK : E_INVALIDARG;
            allOwn = allOwn && own;
            std::wstring name;
            std::uint64_t size = 0;
            EXPECT_EQ(folder::isOwnItem(asList(list, starts[i])), own);
            EXPECT_EQ(cfx::guarded([&] { folder::kindOf(asList(list, starts[i])); }), want);
            EXPECT_EQ(cfx::guarded([&] { size = folder::sizeOf(asList(list, starts[i])); }), want);
            EXPECT_EQ(cfx::guarded([&] { name = folder::nameOf(asList(list, starts[i])); }), want);
            if (own && (at[0] | at[1] << 8) >= 30) {
                EXPECT_EQ(name, names[i]);
                EXPECT_EQ(size, folder::isFolder(asList(list, starts[i])) ? 1u : 2u);
            }
        }
        EXPECT_EQ(cfx::guarded([&] { folder::storagePath(asList(list)); }),
                  allOwn ? S_OK : E_INVALIDARG);
        EXPECT_EQ(folder::lastItem(asList(list)), asList(list, starts.empty() ? 0 : starts.back()));
        // A list is a prefix of itself, not with a byte of its last identifier changed.
        EXPECT_TRUE(folder::isPrefix(asList(list), asList(list)));
        if (!starts.empty()) {
            Bytes changed = list;
            changed[list.size() - 1027] ^= 1;
            EXPECT_FALSE(folder::isPrefix(asList(changed), asList(list)));
        }
        if (HasFailure())
            ADD_FAILURE() << "round " << round;
    }
}

} // namespace
