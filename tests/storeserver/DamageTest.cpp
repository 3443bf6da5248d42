// Files that are not containers, or damaged ones, give a clear HRESULT and
// never bring the engine down.
#include "Container.h"
#include "StoreTestSupport.h"

#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <random>

namespace cfx::store::test {
namespace {

// Opens, unlocks and reads everything; a StoreError is an acceptable end,
// anything else fails the test. Returns the HRESULT (S_OK when all worked).
HRESULT useAll(const std::wstring& path) {
    try {
        auto storage = Container::open(path, Container::Options{false});
        unlockWithInstalledKey(*storage);
        std::vector<Item> pending{storage->root()};
        std::vector<BYTE> buffer(65536);
        while (!pending.empty()) {
            Item item = pending.back();
            pending.pop_back();
            if (item.type() == ItemType::Folder) {
                for (const Item& child : item.children())
                    pending.push_back(child);
                continue;
            }
            FileStream stream = item.openStream();
            for (ULONGLONG at = 0; at < stream.size(); at += buffer.size())
                stream.read(at, buffer.data(), static_cast<ULONG>(buffer.size()));
            item.checksum();
        }
        storage->close();
        return S_OK;
    } catch (const StoreError& e) {
        EXPECT_FALSE(e.description().empty());
        return e.Error();
    }
}

class DamageTest : public testing::Test {
protected:
    // A container with some items, closed; its bytes.
    std::vector<BYTE> makeContainer() {
        auto storage = newContainer(path, Container::Options{false});
        Item root = storage->root();
        Item folder = root.openFolder(L"folder", true);
        for (int i = 0; i < 6; ++i) {
            FileStream stream = folder.openFile(L"f" + std::to_wstring(i), true)->openStream();
            auto bytes =
                patternBytes(static_cast<size_t>(1000 * i * i + 10), static_cast<unsigned>(i));
            stream.write(0, bytes.data(), static_cast<ULONG>(bytes.size()));
        }
        storage->close();
        return fileBytes(path);
    }

    ScratchFolder scratch;
    std::wstring path = scratch.file(L"damaged.demo-coffrex");
};

TEST_F(DamageTest, MissingEmptyRandomAndOtherCompoundFilesAreNoContainers) {
    EXPECT_TRUE(failsWith(STG_E_FILENOTFOUND, [&] { Container::open(path); }));
    for (const std::vector<BYTE>& bytes : {std::vector<BYTE>(), patternBytes(100000, 1)}) {
        putFileBytes(path, bytes);
        EXPECT_TRUE(failsWith(STG_E_DOCFILECORRUPT, [&] { Container::open(path); }));
    }
    EXPECT_NE(failureText([&] { Container::open(path); }).find(L"not a storage container"),
              std::wstring::npos);
    EXPECT_TRUE(failsWith(STG_E_DOCFILECORRUPT, [&] { defragmentContainer(path); }));

    // A stream where the container keeps its header, holding something else.
    Microsoft::WRL::ComPtr<IStorage> storage;
    Microsoft::WRL::ComPtr<IStream> stream;
    const DWORD mode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    ASSERT_EQ(StgCreateStorageEx(path.c_str(), mode, STGFMT_DOCFILE, 0, nullptr, nullptr,
                                 IID_PPV_ARGS(&storage)),
              S_OK);
    ASSERT_EQ(storage->CreateStream(L"\005CfxHeader", mode, 0, 0, &stream), S_OK);
    stream->Write("not a header", 12, nullptr);
    stream.Reset();
    storage.Reset();
    EXPECT_TRUE(failsWith(STG_E_DOCFILECORRUPT, [&] { Container::open(path); }));
}

TEST_F(DamageTest, TruncatedContainersFailCleanly) {
    auto whole = makeContainer();
    ASSERT_EQ(useAll(path), S_OK);
    for (size_t length :
         {size_t(8), size_t(511), size_t(512), size_t(4096), size_t(8192), whole.size() / 3,
          whole.size() / 2, whole.size() - 4096, whole.size() - 1}) {
        putFileBytes(path, std::vector<BYTE>(whole.begin(), whole.begin() + length));
        HRESULT hr = useAll(path);
        EXPECT_TRUE(FAILED(hr) || length + 4096 >= whole.size())
            << "length " << length << " gave 0x" << std::hex << hr;
    }
}

TEST_F(DamageTest, ADamagedCatalogIsRecognised) {
    auto whole = makeContainer();
    // Every byte of the catalog is covered by its authentication code: damage
    // anywhere in it must be noticed, not read as other names.
    auto storage = Container::open(path, Container::Options{false});
    storage->close();
    int noticed = 0, tried = 0;
    for (size_t at = 4096; at + 16 < whole.size(); at += 4096) {
        auto bytes = whole;
        bytes[at + 7] ^= 0x40;
        putFileBytes(path, bytes);
        HRESULT hr = useAll(path);
        ++tried;
        if (hr == STG_E_DOCFILECORRUPT)
            ++noticed;
        EXPECT_TRUE(hr == S_OK || hr == STG_E_DOCFILECORRUPT || hr == STG_E_OLDFORMAT)
            << "offset " << at << " gave 0x" << std::hex << hr;
    }
    EXPECT_GT(noticed, 0) << tried;
}

// Every byte of an item's record is covered by its authentication code: a
// changed one is refused, never read as another name or size.
TEST_F(DamageTest, AnyChangedByteOfAnItemRecordIsRefused) {
    auto storage = newContainer(path, Container::Options{false});
    storage->root().openFile(L"named.txt", true);
    storage->close();
    // The file's record, the last item stream ("\5I" and the item's number),
    // read or replaced.
    auto record = [&](std::vector<BYTE>* replacement) {
        Microsoft::WRL::ComPtr<IStorage> file;
        Microsoft::WRL::ComPtr<IEnumSTATSTG> elements;
        Microsoft::WRL::ComPtr<IStream> stream;
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
