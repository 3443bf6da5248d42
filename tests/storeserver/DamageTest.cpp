// Files that are not containers, or damaged ones, give a clear HRESULT and
// never bring the engine down.
#include "Container.h"
#include "StoreTestSupport.h"

#include <objbase.h>
#include <wrl/client.h>

namespace cfx::store::test {
namespace {

using Microsoft::WRL::ComPtr;

// Opens, unlocks and reads everything: S_OK, or the StoreError's HRESULT.
HRESULT useAll(const std::wstring& path) {
    return errorOf([&] {
        auto storage = Container::open(path, Container::Options{false});
        unlockWithInstalledKey(*storage);
        std::vector<Item> pending{storage->root()};
        std::vector<BYTE> buffer(65536);
        while (!pending.empty()) {
            Item item = pending.back();
            pending.pop_back();
            if (item.type() == ItemType::File)
                item.openStream().read(0, buffer.data(), static_cast<ULONG>(buffer.size()));
            else
                for (const Item& child : item.children())
                    pending.push_back(child);
        }
        storage->close();
    });
}

class DamageTest : public testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring path = scratch.file(L"damaged.demo-coffrex");
};

TEST_F(DamageTest, MissingEmptyRandomAndOtherCompoundFilesAreNoContainers) {
    EXPECT_EQ(errorOf([&] { Container::open(path); }), STG_E_FILENOTFOUND);
    for (const std::vector<BYTE>& bytes : {std::vector<BYTE>(), patternBytes(100000, 1)}) {
        putFileBytes(path, bytes);
        EXPECT_EQ(errorOf([&] { Container::open(path); }, L"not a storage container"),
                  STG_E_DOCFILECORRUPT);
    }
    EXPECT_EQ(errorOf([&] { defragmentContainer(path); }), STG_E_DOCFILECORRUPT);
    // A stream where the container keeps its header, holding something else.
    ComPtr<IStorage> storage;
    ComPtr<IStream> stream;
    const DWORD mode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    ASSERT_EQ(StgCreateStorageEx(path.c_str(), mode, STGFMT_DOCFILE, 0, nullptr, nullptr,
                                 IID_PPV_ARGS(&storage)),
              S_OK);
    ASSERT_EQ(storage->CreateStream(L"\005CfxHeader", mode, 0, 0, &stream), S_OK);
    stream->Write("not a header", 12, nullptr);
    stream.Reset();
    storage.Reset();
    EXPECT_EQ(errorOf([&] { Container::open(path); }), STG_E_DOCFILECORRUPT);
}

// Cut anywhere, or a byte changed anywhere: a storage error, never other
// names or a crash; in the catalog, covered by its authentication code.
TEST_F(DamageTest, TruncatedAndChangedContainersFailCleanly) {
    auto storage = newContainer(path, Container::Options{false});
    Item folder = storage->root().openFolder(L"folder", true);
    for (unsigned i = 0; i < 6; ++i) {
        auto bytes = patternBytes(1000 * i * i + 10, i);
        folder.openFile(std::to_wstring(i), true)
            ->openStream()
            .write(0, bytes.data(), ULONG(bytes.size()));
    }
    storage->close();
    const auto whole = fileBytes(path);
    ASSERT_EQ(useAll(path), S_OK);
    for (size_t length :
         {size_t(8), size_t(512), size_t(4096), whole.size() / 2, whole.size() / 3}) {
        putFileBytes(path, std::vector<BYTE>(whole.begin(), whole.begin() + length));
        EXPECT_TRUE(FAILED(useAll(path))) << "length " << length;
    }
    int noticed = 0;
    for (size_t at = 4096; at + 16 < whole.size(); at += 4096) {
        auto bytes = whole;
        bytes[at + 7] ^= 0x40;
        putFileBytes(path, bytes);
        HRESULT hr = useAll(path);
        noticed += hr == STG_E_DOCFILECORRUPT;
        EXPECT_TRUE(hr == S_OK || hr == STG_E_DOCFILECORRUPT || hr == STG_E_OLDFORMAT) << at;
    }
    EXPECT_GT(noticed, 0);
}

// Every byte of an item's record is covered by its authentication code.
TEST_F(DamageTest, AnyChangedByteOfAnItemRecordIsRefused) {
    auto storage = newContainer(path, Container::Options{false});
    storage->root().openFile(L"named.txt", true);
    storage->close();
    // The file's record, the last item stream ("\5I" and the item's number),
    // read or replaced.
    auto record = [&](std::vector<BYTE>* replacement) {
        ComPtr<IStorage> file;
        ComPtr<IEnumSTATSTG> elements;
        ComPtr<IStream> stream;
        EXPECT_EQ(StgOpenStorageEx(path.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                   STGFMT_DOCFILE, 0, nullptr, nullptr, IID_PPV_ARGS(&file)),
                  S_OK);
        std::wstring last;
        STATSTG stat{};
        for (file->EnumElements(0, nullptr, 0, &elements);
             elements->Next(1, &stat, nullptr) == S_OK; CoTaskMemFree(stat.pwcsName))
            if (std::wstring(stat.pwcsName).rfind(L"\005I", 0) == 0)
                last = std::max(last, std::wstring(stat.pwcsName));
        file->OpenStream(last.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stream);
        std::vector<BYTE> bytes(4096);
        ULONG size = 0;
        if (replacement)
            stream->Write(replacement->data(), static_cast<ULONG>(replacement->size()), &size);
        else
            stream->Read(bytes.data(), 4096, &size);
        bytes.resize(size);
        return bytes;
    };
    std::vector<BYTE> original = record(nullptr);
    ASSERT_GT(original.size(), 32u);
    for (size_t at = 0; at < original.size(); ++at) {
        std::vector<BYTE> changed = original;
        changed[at] ^= 0x01;
        record(&changed);
        EXPECT_EQ(useAll(path), STG_E_DOCFILECORRUPT) << "byte " << at;
        record(&original);
    }
    EXPECT_EQ(useAll(path), S_OK);
}

} // namespace
} // namespace cfx::store::test
