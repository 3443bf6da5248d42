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
        BYTE buffer[16];
        for (Item& item : storage->root().children())
            item.openStream().read(0, buffer, sizeof buffer);
        storage->close();
    });
}

class DamageTest : public testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring path = scratch.file(L"damaged.demo-coffrex");
};

// Not there, empty, random, cut short, another compound file: a clear
// storage error, never a crash.
TEST_F(DamageTest, WhatIsNoContainerIsRefusedClearly) {
    EXPECT_EQ(errorOf([&] { Container::open(path); }), STG_E_FILENOTFOUND);
    newContainer(path)->close();
    const std::vector<BYTE> whole = fileBytes(path);
    for (size_t length : {size_t(0), size_t(512), size_t(4096), whole.size() / 2}) {
        putFileBytes(path, std::vector<BYTE>(whole.begin(), whole.begin() + length));
        EXPECT_TRUE(FAILED(useAll(path))) << length;
    }
    putFileBytes(path, patternBytes(100000, 1));
    EXPECT_EQ(errorOf([&] { Container::open(path); }, L"not a storage container"),
              STG_E_DOCFILECORRUPT);
    EXPECT_EQ(errorOf([&] { defragmentContainer(path); }), STG_E_DOCFILECORRUPT);
    ComPtr<IStorage> storage; // the container's header stream, holding something else
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
