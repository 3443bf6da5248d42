// The container through the engine's interface: trees, names, contents,
// times, properties, checksums, renames and deletes, locking and freezing,
// closing and reopening (what reaches the file in the clear: SecrecyTest).
#include "common/Base64.h"
#include "Container.h"
#include "ItemName.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace cfx::store::test {
namespace {

// A property of the tests' own.
constexpr GUID kNote = {
    0x0C4B2E61, 0x91D3, 0x4A7E, {0x8F, 0x10, 0x22, 0x6B, 0x5D, 0x90, 0xA1, 0x37}};
constexpr GUID kCount = {
    0x0C4B2E62, 0x91D3, 0x4A7E, {0x8F, 0x10, 0x22, 0x6B, 0x5D, 0x90, 0xA1, 0x37}};
constexpr GUID kFlag = {
    0x0C4B2E63, 0x91D3, 0x4A7E, {0x8F, 0x10, 0x22, 0x6B, 0x5D, 0x90, 0xA1, 0x37}};

void writeAll(Item file, const std::vector<BYTE>& bytes) {
    FileStream stream = file.openStream();
    for (size_t at = 0; at < bytes.size(); at += 4096) {
        ULONG n = static_cast<ULONG>(std::min<size_t>(4096, bytes.size() - at));
        stream.write(at, bytes.data() + at, n);
    }
    stream.commit();
}

std::vector<BYTE> readAll(Item file) {
    FileStream stream = file.openStream();
    std::vector<BYTE> bytes(static_cast<size_t>(stream.size()));
    for (size_t at = 0; at < bytes.size(); at += 4096) {
        ULONG n = static_cast<ULONG>(std::min<size_t>(4096, bytes.size() - at));
        EXPECT_EQ(stream.read(at, bytes.data() + at, n), n);
    }
    return bytes;
}

std::vector<std::wstring> names(const Item& folder) {
    std::vector<std::wstring> result;
    for (const ItemInfo& info : folder.list())
        result.push_back(info.name);
    return result;
}

ULONGLONG ticks(const FILETIME& t) {
    return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

class ContainerTest : public testing::Test {
protected:
    std::shared_ptr<Container> reopened() {
        storage->close();
        storage.reset();
        auto again = Container::open(path);
        EXPECT_FALSE(again->isUnlocked());
        unlockWithInstalledKey(*again);
        EXPECT_TRUE(again->isUnlocked());
        return again;
    }

    ScratchFolder scratch;
    std::wstring path = scratch.file(L"test.demo-coffrex");
    std::shared_ptr<Container> storage = newContainer(path);
};

TEST_F(ContainerTest, NestedFoldersAndFilesSurviveClosingAndReopening) {
    Item root = storage->root();
    Item a = root.openFolder(L"Alpha", true);
    Item b = a.openFolder(L"Beta", true);
    Item c = b.openFolder(L"Gamma", true);
    writeAll(*root.openFile(L"top.txt", true), patternBytes(10, 1));
    writeAll(*b.openFile(L"middle.bin", true), patternBytes(5000, 2));
    writeAll(*c.openFile(L"deep.bin", true), patternBytes(70000, 3));
    c.openFile(L"empty", true);
    root.openFolder(L"Second", true);
    EXPECT_EQ(c.path(), L"Alpha\\Beta\\Gamma");

    storage = reopened();
    root = storage->root();
    EXPECT_EQ(names(root), (std::vector<std::wstring>{L"Alpha", L"top.txt", L"Second"}));
    Item gamma = root.item(L"Alpha").openFolder(L"Beta", false).openFolder(L"Gamma", false);
    EXPECT_EQ(gamma.type(), ItemType::Folder);
    EXPECT_EQ(names(gamma), (std::vector<std::wstring>{L"deep.bin", L"empty"}));
    EXPECT_EQ(readAll(gamma.item(L"deep.bin")), patternBytes(70000, 3));
    EXPECT_EQ(gamma.item(L"empty").size(), 0u);
    EXPECT_EQ(readAll(root.item(L"top.txt")), patternBytes(10, 1));
    Item middle = *root.item(L"Alpha").item(L"Beta").openFile(L"middle.bin", false);
    EXPECT_EQ(readAll(middle), patternBytes(5000, 2));
    EXPECT_EQ(middle.path(), L"Alpha\\Beta\\middle.bin");
    auto list = root.item(L"Alpha").item(L"Beta").list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].type, ItemType::Folder);
    EXPECT_EQ(list[1].type, ItemType::File);
    EXPECT_EQ(list[1].size, 5000u);
}

TEST_F(ContainerTest, LongAndUnicodeNamesArePreservedAndFoundWithoutAsciiCase) {
    Item root = storage->root();
    std::wstring longName(kMaxNameLength - 4, L'\u00E9');
    longName += L".txt";
    std::wstring unicode = L"Caf\u00E9 \u65E5\u672C \U0001F600 MiXeD.doc";
    writeAll(*root.openFile(longName, true), patternBytes(100, 4));
    Item folder = root.openFolder(unicode, true);
    writeAll(*folder.openFile(L"Inner", true), patternBytes(3, 5));

    storage = reopened();
    root = storage->root();
    EXPECT_EQ(names(root), (std::vector<std::wstring>{longName, unicode}));
    EXPECT_EQ(readAll(root.item(longName)), patternBytes(100, 4));
    // ASCII letters match in any case; the name keeps its own.
    std::wstring shouted = L"Caf\u00E9 \u65E5\u672C \U0001F600 mixed.DOC";
    Item found = root.item(shouted);
    EXPECT_EQ(found.name(), unicode);
    EXPECT_EQ(readAll(found.item(L"INNER")), patternBytes(3, 5));
    // Only ASCII: an upper-case E acute is another name.
    EXPECT_TRUE(failsWith(STG_E_FILENOTFOUND, [&] { root.item(L"CAF\u00C9 x"); }));
    EXPECT_TRUE(failsWith(STG_E_FILEALREADYEXISTS, [&] { root.openFile(shouted, true); }));
}

TEST_F(ContainerTest, TimesAreKeptAndWritesMoveTheWriteTime) {
    Item root = storage->root();
    Item file = *root.openFile(L"timed", true);
    ItemTimes made = file.times();
    EXPECT_EQ(ticks(made.creation), ticks(made.write));
    EXPECT_NE(ticks(made.creation), 0u);
    Sleep(20);
    writeAll(file, patternBytes(10, 7));
    ItemTimes written = file.times();
    EXPECT_EQ(ticks(written.creation), ticks(made.creation));
    EXPECT_GT(ticks(written.write), ticks(made.write));

    ItemTimes chosen{{0x11111111, 0x01D00000}, {0x22222222, 0x01C00000}, {0x33333333, 0x01D10000}};
    file.setTimes(chosen);
    Item sub = root.openFolder(L"sub", true);
    storage = reopened();
    ItemTimes kept = storage->root().item(L"timed").times();
    EXPECT_EQ(ticks(kept.access), ticks(chosen.access));
    EXPECT_EQ(ticks(kept.creation), ticks(chosen.creation));
    EXPECT_EQ(ticks(kept.write), ticks(chosen.write));
    EXPECT_EQ(storage->root().item(L"sub").size(), 0u);
    ItemInfo info = storage->root().item(L"timed").info();
    EXPECT_EQ(info.size, 10u);
    EXPECT_EQ(ticks(info.times.write), ticks(chosen.write));
}

TEST_F(ContainerTest, ItemPropertiesRoundTripWithTheirTypes) {
    Item root = storage->root();
    Item file = *root.openFile(L"props", true);
    Item folder = root.openFolder(L"folder", true);
    file.setProperty(kNote, Variant(std::wstring(L"a note \u00E9")).get());
    file.setProperty(kCount, Variant(ULONGLONG(0x1234567890ABCDEFull)).get());
    file.setProperty(kFlag, Variant(bool(true)).get());
    folder.setProperty(kNote, Variant(std::wstring(L"")).get());
    root.setProperty(StorageProperty_Comment, Variant(std::wstring(L"root comment")).get());

    storage = reopened();
    root = storage->root();
    file = root.item(L"props");
    Variant value;
    file.getProperty(kNote, value.put());
    EXPECT_EQ(value.type(), VT_BSTR);
    EXPECT_EQ(value.text(), L"a note \u00E9");
    file.getProperty(kCount, value.put());
    ASSERT_EQ(value.type(), VT_UI8);
    EXPECT_EQ(value.get().ullVal, 0x1234567890ABCDEFull);
    file.getProperty(kFlag, value.put());
    ASSERT_EQ(value.type(), VT_BOOL);
    EXPECT_EQ(value.get().boolVal, VARIANT_TRUE);
    file.getProperty(StorageProperty_Checksum, value.put());
    EXPECT_EQ(value.type(), VT_EMPTY);
    root.item(L"folder").getProperty(kNote, value.put());
    EXPECT_EQ(value.type(), VT_BSTR);
    EXPECT_EQ(readText(root, StorageProperty_Comment), L"root comment");

    // Listed in the order first set, after the item's Id.
    EXPECT_EQ(file.listProperties(), (std::vector<GUID>{StorageProperty_Id, kNote, kCount, kFlag}));
    file.setProperty(kNote, Variant(std::wstring(L"changed")).get());
    file.removeProperty(kCount);
    file.removeProperty(kCount);
    EXPECT_EQ(file.listProperties(), (std::vector<GUID>{StorageProperty_Id, kNote, kFlag}));
    EXPECT_EQ(readText(file, kNote), L"changed");
    // A value no property can hold.
    Variant bad;
    bad.put()->vt = VT_UNKNOWN;
    EXPECT_TRUE(failsWith(DISP_E_BADVARTYPE, [&] { file.setProperty(kNote, bad.get()); }));
}

TEST_F(ContainerTest, EveryItemHasAFixedIdInRegistryForm) {
    Item root = storage->root();
    std::wstring ida = readText(*root.openFile(L"a", true), StorageProperty_Id);
    std::wstring idb = readText(root.openFolder(L"b", true), StorageProperty_Id);
    std::wstring storageId = readText(root, StorageProperty_Id);
    GUID parsed;
    EXPECT_EQ(CLSIDFromString(ida.c_str(), &parsed), S_OK) << narrow(ida);
    EXPECT_NE(ida, idb);
    wchar_t text[40];
    StringFromGUID2(storage->id(), text, 40);
    EXPECT_EQ(storageId, text);
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] {
        root.setProperty(StorageProperty_Id, Variant(std::wstring(idb)).get());
    }));
    storage = reopened();
    EXPECT_EQ(readText(storage->root().item(L"a"), StorageProperty_Id), ida);
    EXPECT_EQ(readText(storage->root(), StorageProperty_Id), storageId);
}

TEST_F(ContainerTest, ChecksumIsTheMd5OfTheContents) {
    Item root = storage->root();
    for (size_t size : {0u, 1u, 4096u, 100000u}) {
        auto bytes = patternBytes(size, static_cast<unsigned>(size));
        Item file = *root.openFile(L"f" + std::to_wstring(size), true);
        writeAll(file, bytes);
        EXPECT_EQ(file.checksum(), md5(bytes)) << size;
    }
    // "" has the well-known digest d41d8cd98f00b204e9800998ecf8427e.
    EXPECT_EQ(root.item(L"f0").checksum()[0], 0xD4);
    EXPECT_EQ(root.item(L"f0").checksum()[15], 0x7E);
}

TEST_F(ContainerTest, RenamesAndDeletes) {
    Item root = storage->root();
    Item folder = root.openFolder(L"Folder", true);
    Item inner = folder.openFolder(L"Inner", true);
    Item deep = *inner.openFile(L"deep.txt", true);
    writeAll(deep, patternBytes(9000, 8));
    Item other = *root.openFile(L"other.txt", true);

    root.rename(L"folder", L"FOLDER");
    EXPECT_EQ(folder.name(), L"FOLDER");
    EXPECT_TRUE(failsWith(STG_E_FILEALREADYEXISTS, [&] { root.rename(L"FOLDER", L"Other.TXT"); }));
    EXPECT_TRUE(failsWith(STG_E_FILENOTFOUND, [&] { root.rename(L"nothing", L"x"); }));
    EXPECT_TRUE(failsWith(STG_E_INVALIDNAME, [&] { root.rename(L"FOLDER", L"a\\b"); }));
    root.rename(L"other.txt", L"renamed.txt");
    EXPECT_EQ(other.path(), L"renamed.txt");
    EXPECT_EQ(deep.path(), L"FOLDER\\Inner\\deep.txt");

    root.remove(L"folder");
    EXPECT_TRUE(failsWith(STG_E_REVERTED, [&] { deep.size(); }));
    EXPECT_TRUE(failsWith(STG_E_REVERTED, [&] { inner.list(); }));
    EXPECT_TRUE(failsWith(STG_E_FILENOTFOUND, [&] { root.remove(L"folder"); }));
    EXPECT_EQ(names(root), (std::vector<std::wstring>{L"renamed.txt"}));
    // The name is free again, for an item of the other kind.
    writeAll(*root.openFile(L"Folder", true), patternBytes(5, 9));
    storage = reopened();
    EXPECT_EQ(names(storage->root()), (std::vector<std::wstring>{L"renamed.txt", L"Folder"}));
    EXPECT_EQ(readAll(storage->root().item(L"folder")), patternBytes(5, 9));
}

TEST_F(ContainerTest, FailuresAreStandardAndNameTheItem) {
    Item root = storage->root();
    Item file = *root.openFile(L"file.txt", true);
    Item folder = root.openFolder(L"dir", true);
    EXPECT_TRUE(failsWith(STG_E_FILENOTFOUND, [&] { root.item(L"missing.txt"); }));
    EXPECT_NE(failureText([&] { root.item(L"missing.txt"); }).find(L"'missing.txt'"),
              std::wstring::npos);
    EXPECT_TRUE(failsWith(STG_E_PATHNOTFOUND, [&] { root.openFolder(L"none", false); }));
    EXPECT_TRUE(failsWith(STG_E_FILEALREADYEXISTS, [&] { root.openFolder(L"FILE.txt", true); }));
    EXPECT_TRUE(failsWith(STG_E_FILEALREADYEXISTS, [&] { root.openFile(L"DIR", true); }));
    EXPECT_NE(failureText([&] { root.openFile(L"DIR", true); }).find(L"'dir'"), std::wstring::npos);
    EXPECT_FALSE(root.openFile(L"dir", false).has_value());
    EXPECT_FALSE(root.openFile(L"absent", false).has_value());
    EXPECT_TRUE(failsWith(STG_E_INVALIDNAME, [&] { folder.openFolder(L"a/b", true); }));
    EXPECT_TRUE(failsWith(STG_E_INVALIDFUNCTION, [&] { file.list(); }));
    EXPECT_TRUE(failsWith(STG_E_INVALIDFUNCTION, [&] { folder.openStream(); }));
    EXPECT_TRUE(failsWith(E_POINTER, [&] { Item().name(); }));
    // Nothing of the failed calls was made.
    EXPECT_EQ(names(root), (std::vector<std::wstring>{L"file.txt", L"dir"}));
}

TEST_F(ContainerTest, ALockedStorageServesOnlyItsStorageLevelProperties) {
    writeAll(*storage->root().openFile(L"secret.txt", true), patternBytes(100, 10));
    storage->root().setProperty(StorageProperty_Flags, Variant(ULONGLONG(1)).get());
    storage->close();
    storage = Container::open(path);
    Item root = storage->root();
    EXPECT_FALSE(storage->isUnlocked());
    EXPECT_FALSE(readText(root, StorageProperty_Id).empty());
    EXPECT_EQ(fromBase64(readText(root, StorageProperty_KeyId)), firstCertificate().keyId);
    EXPECT_FALSE(readText(root, StorageProperty_KeyRecord).empty());
    EXPECT_GE(fromBase64(readText(root, StorageProperty_KeyState)).size(), 16u);
    Variant value;
    root.getProperty(StorageProperty_Flags, value.put());
    EXPECT_EQ(value.get().ullVal, 1u);
    EXPECT_EQ(root.type(), ItemType::Folder);
    EXPECT_EQ(root.path(), L"");

    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { root.list(); }));
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { root.item(L"secret.txt"); }));
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { root.openFile(L"new", true); }));
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { root.times(); }));
    EXPECT_TRUE(
        failsWith(E_ACCESSDENIED, [&] { root.getProperty(StorageProperty_Comment, value.put()); }));
    EXPECT_NE(failureText([&] { root.list(); }).find(L"locked"), std::wstring::npos);
    // The storage-level properties are listed; nothing else.
    EXPECT_EQ(root.listProperties().size(), 5u);

    unlockWithInstalledKey(*storage);
    EXPECT_EQ(readAll(root.item(L"secret.txt")), patternBytes(100, 10));
    // Locking again forgets the key.
    storage->lock();
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { root.list(); }));
}

TEST_F(ContainerTest, AFrozenStorageRefusesContentsUntilThawed) {
    Item root = storage->root();
    Item file = *root.openFile(L"kept.txt", true);
    writeAll(file, patternBytes(10, 11));
    root.setProperty(StorageProperty_Frozen, Variant(bool(true)).get());
    EXPECT_TRUE(storage->isFrozen());
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { root.list(); }));
    EXPECT_TRUE(failsWith(E_ACCESSDENIED, [&] { file.openStream(); }));
    EXPECT_NE(failureText([&] { root.list(); }).find(L"frozen"), std::wstring::npos);
    storage->close();

    // Frozen and locked, it still opens and thaws without the key.
    storage = Container::open(path);
    EXPECT_TRUE(storage->isFrozen());
    Variant value;
    storage->root().getProperty(StorageProperty_Frozen, value.put());
    ASSERT_EQ(value.type(), VT_BOOL);
    EXPECT_EQ(value.get().boolVal, VARIANT_TRUE);
    storage->root().setProperty(StorageProperty_Frozen, Variant(bool(false)).get());
    unlockWithInstalledKey(*storage);
    EXPECT_FALSE(storage->isFrozen());
    EXPECT_EQ(readAll(storage->root().item(L"kept.txt")), patternBytes(10, 11));
}

TEST_F(ContainerTest, ThreadsTakeTurns) {
    Item root = storage->root();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            Item folder = root.openFolder(L"thread" + std::to_wstring(t), true);
            for (int i = 0; i < 5; ++i)
                writeAll(*folder.openFile(L"f" + std::to_wstring(i), true),
                         patternBytes(6000, static_cast<unsigned>(t * 10 + i)));
        });
    for (auto& thread : threads)
        thread.join();
    storage = reopened();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(readAll(storage->root()
                                  .item(L"thread" + std::to_wstring(t))
                                  .item(L"f" + std::to_wstring(i))),
                      patternBytes(6000, static_cast<unsigned>(t * 10 + i)));
}

TEST(ItemNameTest, RefusesEmptyTooLongSeparatorsAndReservedNames) {
    for (const std::wstring& name :
         {std::wstring(), std::wstring(kMaxNameLength + 1, L'x'), std::wstring(L"a\\b"),
          std::wstring(L"a/b"), std::wstring(L"c:"), std::wstring(L"what?"), std::wstring(L"x*"),
          std::wstring(L"\"q\""), std::wstring(L"<a>"), std::wstring(L"a|b"),
          std::wstring(L"tab\there"), std::wstring(L"nul\0x", 5), std::wstring(L"."),
          std::wstring(L"..")})
        EXPECT_TRUE(failsWith(STG_E_INVALIDNAME, [&] { checkItemName(name); }))
            << narrow(name.substr(0, 40));
    EXPECT_NE(failureText([] { checkItemName(L"a/b"); }).find(L"'a/b'"), std::wstring::npos);
}

} // namespace
} // namespace cfx::store::test
