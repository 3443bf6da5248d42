// The item identifier operations against whatever the shell may hand the
// folder: random, truncated and mutated identifiers inside lists.
//
// Every list built here is well formed as a shell list: each cb lies within the
// buffer and the list ends with a zero cb. The shell's own list functions,
// which the operations call, walk the cb fields and trust them, as the shell
// does with every list it passes. A foreign identifier is therefore one that
// can still be walked but has a cb of 28 or less or a signature that differs,
// and every operation that reads it must answer E_INVALIDARG, never crash.
//
// The buffers carry zeros after the list's terminator: Wine's list comparison
// reads type-dependent strings inside identifiers and may run past a short one.
#include "folder/StorageItemId.h"

#include "common/Exceptions.h"
#include "support/FakeStorageItem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using cfx::test::FakeStorageItem;

namespace {

constexpr std::uint32_t kDefaultSeed = 0x5EED1D5u;
constexpr int kRounds = 25000;
constexpr size_t kPadding = 1024;

const BYTE kSignatureBytes[16] = {0x9E, 0x3A, 0x0C, 0x5D, 0xB4, 0x71, 0x28, 0x4F,
                                  0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95};

using Bytes = std::vector<BYTE>;

template <class Body> HRESULT entryPoint(Body&& body) {
    return cfx::guarded([&] { body(); });
}

std::uint16_t cbAt(const BYTE* at) {
    std::uint16_t cb;
    std::memcpy(&cb, at, sizeof cb);
    return cb;
}

void putCb(Bytes& item, size_t cb) {
    const auto value = static_cast<std::uint16_t>(cb);
    std::memcpy(item.data(), &value, sizeof value);
}

// What the test itself reads from an identifier's bytes, independently of the
// code under test: whether it is ours and, if so, its fields.
struct Reading {
    bool own = false;
    std::uint32_t kind = 0;
    std::uint64_t size = 0;
    std::wstring name;
};

Reading readIdentifier(const BYTE* at) {
    Reading r;
    const std::uint16_t cb = cbAt(at);
    r.own = cb > 28 && std::memcmp(at + 2, kSignatureBytes, 16) == 0;
    if (r.own) {
        std::memcpy(&r.kind, at + 18, 4);
        std::memcpy(&r.size, at + 22, 8);
        for (size_t offset = 30; offset + 2 <= cb; offset += 2) {
            wchar_t unit;
            std::memcpy(&unit, at + offset, 2);
            if (!unit)
                break;
            r.name.push_back(unit);
        }
    }
    return r;
}

std::string hex(const BYTE* bytes, size_t count) {
    std::ostringstream text;
    for (size_t i = 0; i < count; ++i)
        text << std::hex << std::setw(2) << std::setfill('0') << int(bytes[i]);
    return text.str();
}

// A list laid out at a chosen distance from an 8-byte boundary, with the
// offsets of its identifiers.
class ListBuffer {
public:
    ListBuffer(const std::vector<Bytes>& items, size_t shift) : shift_(shift) {
        size_t size = 0;
        for (const Bytes& item : items)
            size += item.size();
        storage_.assign(shift + size + 2 + kPadding, 0);
        size_t at = shift;
        for (const Bytes& item : items) {
            offsets_.push_back(at - shift);
            std::memcpy(storage_.data() + at, item.data(), item.size());
            at += item.size();
        }
        size_ = size + 2;
    }

    LPCITEMIDLIST list() const { return reinterpret_cast<LPCITEMIDLIST>(storage_.data() + shift_); }
    const BYTE* bytes() const { return storage_.data() + shift_; }
    BYTE* bytes() { return storage_.data() + shift_; }
    size_t size() const { return size_; }
    const std::vector<size_t>& offsets() const { return offsets_; }
    std::string dump() const { return hex(bytes(), size_); }

private:
    size_t shift_;
    size_t size_ = 0;
    Bytes storage_;
    std::vector<size_t> offsets_;
};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    size_t below(size_t bound) {
        return std::uniform_int_distribution<size_t>(0, bound - 1)(random_);
    }
    bool chance(int percent) { return below(100) < size_t(percent); }
    std::uint32_t word() { return std::uniform_int_distribution<std::uint32_t>()(random_); }
    std::uint64_t wide() { return (std::uint64_t(word()) << 32) | word(); }
    BYTE byte() { return BYTE(below(256)); }

    // Names as a server might return them: any UTF-16 code units but the 0
    // terminator and the path separator, surrogates paired or not.
    std::wstring name() {
        size_t length = chance(70) ? below(13) : chance(85) ? 13 + below(68) : 81 + below(520);
        std::wstring text;
        while (text.size() < length) {
            switch (below(6)) {
            case 0:
                text.push_back(wchar_t(0x20 + below(0x5F)));
                break;
            case 1:
                text.push_back(wchar_t(0xA0 + below(0xE0)));
                break;
            case 2:
                text.push_back(wchar_t(0x4E00 + below(0x5200)));
                break;
            case 3:
                text.push_back(wchar_t(0xD800 + below(0x400)));
                text.push_back(wchar_t(0xDC00 + below(0x400)));
                break;
            case 4:
                text.push_back(wchar_t(0xD800 + below(0x800)));
                break;
            default:
                text.push_back(wchar_t(1 + below(0xFFFF)));
                break;
            }
            if (text.back() == L'\\' || text.back() == 0)
                text.back() = L'_';
        }
        text.resize(length);
        return text;
    }

    std::uint32_t kind() { return chance(80) ? std::uint32_t(1 + below(2)) : word(); }

    Bytes validItem(const std::wstring& name, std::uint32_t kind, std::uint64_t size) {
        Bytes item(34 + 2 * name.size(), 0);
        putCb(item, item.size());
        std::memcpy(item.data() + 2, kSignatureBytes, 16);
        std::memcpy(item.data() + 18, &kind, 4);
        std::memcpy(item.data() + 22, &size, 8);
        std::memcpy(item.data() + 30, name.data(), 2 * name.size());
        return item;
    }

    Bytes validItem() { return validItem(name(), kind(), wide()); }

    Bytes randomBytes(size_t length) {
        Bytes bytes(length);
        for (BYTE& b : bytes)
            b = byte();
        return bytes;
    }

    // One identifier of a random shape; every shape keeps cb equal to the
    // identifier's length, so that the list stays walkable.
    Bytes item() {
        switch (below(9)) {
        case 0:
        case 1:
            return validItem();
        case 2: { // one bit of the signature off
            Bytes item = validItem();
            size_t bit = below(128);
            item[2 + bit / 8] ^= BYTE(1u << (bit % 8));
            return item;
        }
        case 3: { // too short to be ours, sometimes with the signature in place
            Bytes item = validItem();
            item.resize(2 + below(27));
            if (chance(50))
                for (size_t i = 2; i < item.size(); ++i)
                    item[i] = byte();
            putCb(item, item.size());
            return item;
        }
        case 4: { // cut short anywhere, cb following the cut
            Bytes item = validItem();
            item.resize(2 + below(item.size() - 2));
            putCb(item, item.size());
            return item;
        }
        case 5: { // longer than its name, the rest of it garbage
            Bytes item = validItem();
            Bytes tail = randomBytes(1 + below(64));
            item.insert(item.end(), tail.begin(), tail.end());
            putCb(item, item.size());
            return item;
        }
        case 6: { // a name with no terminator within cb
            Bytes item = validItem();
            for (size_t i = item.size() - 4; i < item.size(); ++i)
                item[i] = BYTE(1 + below(255));
            return item;
        }
        case 7: { // random bytes, sometimes carrying the signature
            Bytes item = randomBytes(2 + below(300));
            if (item.size() >= 18 && chance(40))
                std::memcpy(item.data() + 2, kSignatureBytes, 16);
            putCb(item, item.size());
            return item;
        }
        default: { // random bytes of the exact size a name would give
            Bytes item = randomBytes(34 + 2 * below(20));
            std::memcpy(item.data() + 2, kSignatureBytes, 16);
            putCb(item, item.size());
            return item;
        }
        }
    }

    std::vector<Bytes> items() {
        std::vector<Bytes> items(below(6));
        for (Bytes& item : items)
            item = this->item();
        return items;
    }

    size_t shift() { return below(8); }

private:
    std::mt19937 random_;
};

std::uint32_t seed() {
    if (const char* text = std::getenv("CFX_FUZZ_SEED"))
        return std::uint32_t(std::strtoul(text, nullptr, 0));
    return kDefaultSeed;
}

struct Counts {
    long own = 0;
    long foreign = 0;
    long ownLists = 0;
    long foreignLists = 0;
    long madeIds = 0;
    long refusedMakes = 0;
};

// Single identifiers: own ones read back as the test reads them, foreign ones
// are refused by every reader.
void checkIdentifiers(const ListBuffer& buffer, Counts& counts) {
    for (size_t offset : buffer.offsets()) {
        const BYTE* at = buffer.bytes() + offset;
        LPCITEMIDLIST id = reinterpret_cast<LPCITEMIDLIST>(at);
        const Reading expected = readIdentifier(at);
        ++(expected.own ? counts.own : counts.foreign);
        EXPECT_EQ(cfx::isOwnItem(id), expected.own) << "at " << offset;

        const BYTE* payload = nullptr;
        cfx::ItemKind kind{};
        std::uint64_t size = 0;
        std::wstring name;
        bool folder = false;
        const HRESULT want = expected.own ? S_OK : E_INVALIDARG;
        EXPECT_EQ(entryPoint([&] { payload = cfx::itemPayload(id); }), want);
        EXPECT_EQ(entryPoint([&] { kind = cfx::kindOf(id); }), want);
        EXPECT_EQ(entryPoint([&] { size = cfx::sizeOf(id); }), want);
        EXPECT_EQ(entryPoint([&] { name = cfx::nameOf(id); }), want);
        EXPECT_EQ(entryPoint([&] { folder = cfx::isFolder(id); }), want);
        if (expected.own) {
            EXPECT_EQ(payload, at + 2);
            EXPECT_EQ(static_cast<std::uint32_t>(kind), expected.kind);
            EXPECT_EQ(size, expected.size);
            EXPECT_EQ(name, expected.name);
            EXPECT_EQ(folder, expected.kind == 1);
        }
    }
}

// The list operations on the list, its prefixes and a copy with one byte changed.
void checkList(const std::vector<Bytes>& items, const ListBuffer& buffer, Generator& random,
               Counts& counts) {
    LPCITEMIDLIST list = buffer.list();
    bool allOwn = true;
    std::wstring path;
    for (size_t i = 0; i < buffer.offsets().size(); ++i) {
        const Reading r = readIdentifier(buffer.bytes() + buffer.offsets()[i]);
        allOwn = allOwn && r.own;
        path += (i ? L"\\" : L"") + r.name;
    }
    ++(allOwn ? counts.ownLists : counts.foreignLists);

    std::wstring got;
    EXPECT_EQ(entryPoint([&] { got = cfx::storagePath(list); }), allOwn ? S_OK : E_INVALIDARG);
    if (allOwn) {
        EXPECT_EQ(got, path);
    }

    EXPECT_EQ(ILGetSize(list), buffer.size());
    EXPECT_TRUE(cfx::isPrefix(list, list));
    EXPECT_FALSE(cfx::isPrefix(list, nullptr));

    // The last identifier, as the shell finds it.
    LPCITEMIDLIST last = cfx::lastItem(list);
    const size_t lastOffset = items.empty() ? 0 : buffer.offsets().back();
    EXPECT_EQ(reinterpret_cast<const BYTE*>(last), buffer.bytes() + lastOffset);

    // Every prefix is one, and points the relative part at the rest.
    const size_t count = items.size();
    for (size_t k = 0; k <= count; ++k) {
        ListBuffer prefix(std::vector<Bytes>(items.begin(), items.begin() + k), random.shift());
        EXPECT_TRUE(cfx::isPrefix(prefix.list(), list)) << "prefix of " << k;
        if (k < count) {
            EXPECT_FALSE(cfx::isPrefix(list, prefix.list())) << "prefix of " << k;
        }

        LPCITEMIDLIST part = nullptr;
        EXPECT_EQ(entryPoint([&] { part = cfx::relativePart(prefix.list(), list); }), S_OK);
        const BYTE* rest = buffer.bytes() + (k < count ? buffer.offsets()[k] : buffer.size() - 2);
        if (part) {
            EXPECT_EQ(reinterpret_cast<const BYTE*>(part), rest) << "prefix of " << k;
        } else {
            // Only the shell finding the lists equal makes the part null.
            EXPECT_TRUE(ILIsEqual(prefix.list(), list)) << "prefix of " << k;
        }

        cfx::ItemIdList combined;
        EXPECT_EQ(entryPoint([&] { combined = cfx::combine(prefix.list(), list); }), S_OK);
        ASSERT_TRUE(combined);
        EXPECT_EQ(ILGetSize(combined.get()), prefix.size() + buffer.size() - 2);
    }
    EXPECT_EQ(cfx::relativePart(nullptr, list), nullptr);

    // One byte changed after some identifier's cb: no longer a prefix either way.
    std::vector<size_t> changeable;
    for (size_t i = 0; i < count; ++i)
        if (items[i].size() > 2)
            changeable.push_back(i);
    if (!changeable.empty()) {
        const size_t i = changeable[random.below(changeable.size())];
        ListBuffer changed(items, random.shift());
        const size_t at = changed.offsets()[i] + 2 + random.below(items[i].size() - 2);
        changed.bytes()[at] ^= BYTE(1 + random.below(255));
        EXPECT_FALSE(cfx::isPrefix(changed.list(), list)) << "changed byte " << at;
        EXPECT_FALSE(cfx::isPrefix(list, changed.list())) << "changed byte " << at;
        LPCITEMIDLIST part = nullptr;
        EXPECT_EQ(entryPoint([&] { part = cfx::relativePart(changed.list(), list); }), S_OK);
        EXPECT_EQ(part, nullptr) << "changed byte " << at;
        checkIdentifiers(changed, counts);
    }
}

// An identifier made from a server item with random values and failures.
void checkMake(Generator& random, Counts& counts) {
    using Call = FakeStorageItem::Call;
    auto item = FakeStorageItem::create();
    std::wstring name = random.name();
    if (random.chance(1))
        name.assign(cfx::kMaxItemNameLength + random.below(2), L'z');
    const LONG type = static_cast<LONG>(random.kind());
    const std::uint64_t size = random.wide();
    item->setName(name);
    item->setType(type);
    item->setSize(size);

    HRESULT failure = S_OK;
    Call failing = Call::GetName;
    if (random.chance(20)) {
        failure = static_cast<HRESULT>(0x80000000u | random.word());
        const Call calls[] = {Call::GetName, Call::GetType, Call::GetSize};
        failing = calls[random.below(3)];
        item->failCall(failing, failure, L"injected");
    }
    // The server is asked for the name, then the type, then the size.
    HRESULT want = S_OK;
    if (FAILED(failure) && failing == Call::GetName)
        want = failure;
    else if (name.size() > cfx::kMaxItemNameLength)
        want = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    else if (FAILED(failure))
        want = failure;

    cfx::ItemIdList id;
    EXPECT_EQ(entryPoint([&] { cfx::makeItemId(item.get(), id.put()); }), want);
    if (FAILED(want)) {
        EXPECT_FALSE(id);
        ++counts.refusedMakes;
        return;
    }
    ++counts.madeIds;
    ASSERT_TRUE(id);
    const Bytes expected = random.validItem(name, static_cast<std::uint32_t>(type), size);
    ASSERT_EQ(ILGetSize(id.get()), expected.size() + 2);
    const BYTE* made = reinterpret_cast<const BYTE*>(id.get());
    EXPECT_EQ(std::memcmp(made, expected.data(), expected.size()), 0)
        << hex(made, std::min<size_t>(expected.size(), 96));
    EXPECT_EQ(cbAt(made + expected.size()), 0);
}

TEST(StorageItemIdFuzzTest, RandomAndMutatedListsNeverCrashAndForeignOnesAreRefused) {
    const std::uint32_t fixedSeed = seed();
    std::cout << "[ seed     ] " << fixedSeed << " (set CFX_FUZZ_SEED to change it)" << std::endl;
    RecordProperty("seed", std::to_string(fixedSeed));

    Generator random(fixedSeed);
    Counts counts;
    for (int round = 0; round < kRounds; ++round) {
        const std::vector<Bytes> items = random.items();
        const ListBuffer buffer(items, random.shift());
        checkIdentifiers(buffer, counts);
        checkList(items, buffer, random, counts);
        checkMake(random, counts);
        if (HasFailure())
            FAIL() << "round " << round << " of seed " << fixedSeed << ", list " << buffer.dump();
    }
    std::cout << "[ counts   ] " << counts.own << " own and " << counts.foreign
              << " foreign identifiers, " << counts.ownLists << " own and " << counts.foreignLists
              << " foreign lists, " << counts.madeIds << " made and " << counts.refusedMakes
              << " refused identifiers" << std::endl;

    // The generator must keep producing every case, or the test proves little.
    EXPECT_GT(counts.own, 20000);
    EXPECT_GT(counts.foreign, 20000);
    EXPECT_GT(counts.ownLists, 2000);
    EXPECT_GT(counts.foreignLists, 10000);
    EXPECT_GT(counts.madeIds, 15000);
    EXPECT_GT(counts.refusedMakes, 3000);
}

} // namespace
