// Defragmentation rewrites a container compactly: the same contents, a
// smaller file after deletes, still a compound file the library can measure.
#include "Container.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

namespace cfx::store::test {
namespace {

void fill(Item folder, int count, size_t size, unsigned seed) {
    for (int i = 0; i < count; ++i) {
        FileStream stream = folder.openFile(L"file" + std::to_wstring(i), true)->openStream();
        auto bytes = patternBytes(size, seed + static_cast<unsigned>(i));
        stream.write(0, bytes.data(), static_cast<ULONG>(bytes.size()));
    }
}

void expectFiles(Item folder, int count, size_t size, unsigned seed) {
    for (int i = 0; i < count; ++i) {
        FileStream stream = folder.item(L"file" + std::to_wstring(i)).openStream();
        std::vector<BYTE> bytes(size);
        EXPECT_EQ(stream.read(0, bytes.data(), static_cast<ULONG>(size)), size);
        EXPECT_EQ(bytes, patternBytes(size, seed + static_cast<unsigned>(i))) << i;
    }
}

class DefragmentTest : public testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring path = scratch.file(L"defrag.demo-coffrex");
};

TEST_F(DefragmentTest, AClosedContainerShrinksAfterDeletesAndKeepsItsContents) {
    auto storage = newContainer(path, Container::Options{false});
    Item root = storage->root();
    Item kept = root.openFolder(L"kept", true);
    Item gone = root.openFolder(L"gone", true);
    fill(kept, 5, 300000, 100);
    fill(gone, 20, 400000, 200);
    kept.setProperty(StorageProperty_Comment, Variant(std::wstring(L"still here")).get());
    root.remove(L"gone");
    root.setProperty(StorageProperty_Frozen, Variant(bool(true)).get());
    storage->close();

    ULONGLONG before = fileSize(path);
    defragmentContainer(path);
    ULONGLONG after = fileSize(path);
    EXPECT_LT(after, before / 3);
    EXPECT_GE(after, 5u * 300000);

    storage = Container::open(path);
    EXPECT_TRUE(storage->isFrozen());
    storage->root().setProperty(StorageProperty_Frozen, Variant(bool(false)).get());
    unlockWithInstalledKey(*storage);
    root = storage->root();
    EXPECT_FALSE(root.find(L"gone").has_value());
    expectFiles(root.item(L"kept"), 5, 300000, 100);
    EXPECT_EQ(readText(root.item(L"kept"), StorageProperty_Comment), L"still here");
}

TEST_F(DefragmentTest, AnOpenContainerIsDefragmentedInPlaceAndItsHandlesStayValid) {
    auto storage = newContainer(path, Container::Options{false});
    Item root = storage->root();
    Item folderItem = root.openFolder(L"folder", true);
    fill(folderItem, 10, 200000, 300);
    for (int i = 0; i < 10; i += 2)
        folderItem.remove(L"file" + std::to_wstring(i));
    ULONGLONG before = fileSize(path);
    storage->defragment();
    EXPECT_LT(fileSize(path), before);
    // The same handles go on working.
    for (int i = 1; i < 10; i += 2) {
        FileStream stream = folderItem.item(L"file" + std::to_wstring(i)).openStream();
        std::vector<BYTE> bytes(200000);
        stream.read(0, bytes.data(), 200000);
        EXPECT_EQ(bytes, patternBytes(200000, 300 + static_cast<unsigned>(i)));
    }
    fill(root.openFolder(L"after", true), 2, 1000, 400);
    storage->close();
    storage = Container::open(path);
    unlockWithInstalledKey(*storage);
    expectFiles(storage->root().item(L"after"), 2, 1000, 400);
}

TEST_F(DefragmentTest, AContainerInUseIsNotReplaced) {
    auto storage = newContainer(path, Container::Options{false});
    EXPECT_TRUE(failsWith(STG_E_SHAREVIOLATION, [&] { defragmentContainer(path); }));
    EXPECT_TRUE(failsWith(STG_E_FILENOTFOUND, [&] { defragmentContainer(path + L"x"); }));
}

} // namespace
} // namespace cfx::store::test
