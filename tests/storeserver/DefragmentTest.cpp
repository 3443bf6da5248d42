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

using Microsoft::WRL::ComPtr;

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

// The element sizes of the compound file, summed the way the library
// measures a frozen storage.
ULONGLONG measure(IStorage* storage) {
    ComPtr<IEnumSTATSTG> elements;
    EXPECT_EQ(storage->EnumElements(0, nullptr, 0, &elements), S_OK);
    ULONGLONG sum = 0;
    STATSTG stat;
    while (elements && elements->Next(1, &stat, nullptr) == S_OK) {
        sum += 104;
        if (stat.cbSize.QuadPart)
            sum += stat.cbSize.QuadPart / 4096 * 4096 + 4096;
        if (stat.type == STGTY_STORAGE) {
            ComPtr<IStorage> inner;
            if (SUCCEEDED(storage->OpenStorage(stat.pwcsName, nullptr,
                                               STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                               &inner)))
                sum += measure(inner.Get());
        }
        CoTaskMemFree(stat.pwcsName);
    }
    return sum;
}

ULONGLONG measure(const std::wstring& path) {
    ComPtr<IStorage> storage;
    HRESULT hr = StgOpenStorageEx(path.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                  STGFMT_DOCFILE, 0, nullptr, nullptr, IID_IStorage,
                                  reinterpret_cast<void**>(storage.GetAddressOf()));
    EXPECT_EQ(hr, S_OK);
    return storage ? measure(storage.Get()) : 0;
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
    kept.setProperty(StorageProperty_Comment, Variant::text(L"still here")->get());
    root.remove(L"gone");
    root.setProperty(StorageProperty_Frozen, Variant::boolean(true)->get());
    storage->close();

    ULONGLONG before = fileSize(path);
    ULONGLONG usedBefore = measure(path);
    defragmentContainer(path);
    ULONGLONG after = fileSize(path);
    std::printf("defragmentation: %llu bytes before, %llu after (%llu in use)\n", before, after,
                usedBefore);
    EXPECT_LT(after, before / 3);
    EXPECT_GE(after, 5u * 300000);
    // Still a compound file, measured alike.
    EXPECT_EQ(measure(path), usedBefore);

    storage = Container::open(path);
    EXPECT_TRUE(storage->isFrozen());
    storage->root().setProperty(StorageProperty_Frozen, Variant::boolean(false)->get());
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
