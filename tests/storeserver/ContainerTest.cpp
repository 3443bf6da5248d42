// The container through the engine's interface: trees, names, times, properties
// and refusals; files that are no containers or are damaged. (Locked and frozen
// storages: ServerItems.)
#include "Container.h"
#include "ItemName.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <objbase.h>
#include <wrl/client.h>

#include <functional>

namespace cfx::store::test {
namespace {

using Microsoft::WRL::ComPtr;

constexpr GUID kNote = {0x0C4B2E61, 0x91D3, 0x4A7E, {0x8F, 0x10, 0x22, 0x6B, 0x5D, 0x90, 0xA1}};
constexpr GUID kCount = {0x0C4B2E62, 0x91D3, 0x4A7E, {0x8F, 0x10, 0x22, 0x6B, 0x5D, 0x90, 0xA1}};

void writeAll(Item file, const std::vector<BYTE>& bytes) {
    FileStream stream = file.openStream();
    stream.write(0, bytes.data(), static_cast<ULONG>(bytes.size()));
    stream.commit();
}

std::vector<BYTE> readAll(Item file) {
    FileStream stream = file.openStream();
    std::vector<BYTE> bytes(static_cast<size_t>(stream.size()));
    bytes.resize(stream.read(0, bytes.data(), static_cast<ULONG>(bytes.size())));
    return bytes;
}

std::vector<std::wstring> names(const Item& folder) {
    std::vector<std::wstring> result;
    for (const ItemInfo& info : folder.list())
        result.push_back(info.name);
    return result;
}

class ContainerTest : public testing::Test {
protected:
    Item reopened() {
        storage->close();
        storage = Container::open(path);
        EXPECT_FALSE(storage->isUnlocked());
        unlockWithInstalledKey(*storage);
        return storage->root();
    }

    ScratchFolder scratch;
    std::wstring path = scratch.file(L"test.demo-coffrex");
    std::shared_ptr<Container> storage = newContainer(path);
};

TEST_F(ContainerTest, TreesNamesTimesAndPropertiesSurviveReopening) {
    const std::wstring longName = std::wstring(kMaxNameLength - 4, L'\u00E9') + L".txt";
    const std::wstring unicode = L"Caf\u00E9 \u65E5\u672C \U0001F600 MiXeD.doc";
    Item root = storage->root();
    Item deep = root.openFolder(L"Alpha", true).openFolder(unicode, true);
    writeAll(*deep.openFile(L"deep.bin", true), patternBytes(70000, 3));
    deep.openFile(L"empty", true);
    writeAll(*root.openFile(longName, true), patternBytes(10, 1));
    Item file = root.item(longName);
    const std::wstring id = readText(file, StorageProperty_Id);
    const ItemTimes chosen{{1, 0x01D00000}, {2, 0x01C00000}, {3, 0x01D10000}};
    file.setTimes(chosen);
    file.setProperty(kNote, Variant(std::wstring(L"a note")).get());
    file.setProperty(kCount, Variant(ULONGLONG(0x1234567890ABCDEFull)).get());
    file.removeProperty(kNote);
    file.setProperty(kNote, Variant(true).get());

    root = reopened();
    EXPECT_EQ(names(root), (std::vector<std::wstring>{L"Alpha", longName}));
    // ASCII letters match in any case, the name keeps its own; only ASCII.
    deep = root.item(L"ALPHA").item(L"Caf\u00E9 \u65E5\u672C \U0001F600 mixed.DOC");
    EXPECT_EQ(deep.path(), L"Alpha\\" + unicode);
    EXPECT_EQ(errorOf([&] { root.item(L"CAF\u00C9"); }), STG_E_FILENOTFOUND);
    EXPECT_EQ(names(deep), (std::vector<std::wstring>{L"deep.bin", L"empty"}));
    EXPECT_EQ(readAll(deep.item(L"DEEP.BIN")), patternBytes(70000, 3));
    file = root.item(longName);
    EXPECT_EQ(readText(file, StorageProperty_Id), id);
    EXPECT_TRUE(file.times().creation.dwHighDateTime == 0x01C00000 &&
                file.info().times.write.dwLowDateTime == 3);
    EXPECT_EQ(file.listProperties(), (std::vector<GUID>{StorageProperty_Id, kCount, kNote}));
    Variant count, note;
    file.getProperty(kCount, count.put());
    file.getProperty(kNote, note.put());
    EXPECT_TRUE(count.get().ullVal == 0x1234567890ABCDEFull && note.type() == VT_BOOL);
}

TEST_F(ContainerTest, RefusalsAreStandardNameTheItemAndChangeNothing) {
    Item root = storage->root();
    Item folder = root.openFolder(L"dir", true);
    Item file = *root.openFile(L"file.txt", true);
    Variant unknown;
    unknown.put()->vt = VT_UNKNOWN;
    const struct {
        HRESULT hr;
        const wchar_t* named;
        std::function<void()> call;
    } refusals[] = {
        {STG_E_FILENOTFOUND, L"'missing.txt'", [&] { root.item(L"missing.txt"); }},
        {STG_E_PATHNOTFOUND, L"", [&] { root.openFolder(L"none", false); }},
        {STG_E_FILEALREADYEXISTS, L"'file.txt'", [&] { root.openFolder(L"FILE.txt", true); }},
        {STG_E_FILEALREADYEXISTS, L"'dir'", [&] { root.openFile(L"DIR", true); }},
        {STG_E_FILEALREADYEXISTS, L"", [&] { root.rename(L"dir", L"File.TXT"); }},
        {STG_E_INVALIDNAME, L"'a/b'", [&] { folder.openFolder(L"a/b", true); }},
        {STG_E_INVALIDNAME, L"", [&] { root.rename(L"dir", L"a\\b"); }},
        {STG_E_INVALIDFUNCTION, L"", [&] { file.list(); }},
        {STG_E_INVALIDFUNCTION, L"", [&] { folder.openStream(); }},
        {E_ACCESSDENIED, L"",
         [&] { root.setProperty(StorageProperty_Id, Variant(std::wstring(L"x")).get()); }},
        {DISP_E_BADVARTYPE, L"", [&] { file.setProperty(kNote, unknown.get()); }},
        {E_POINTER, L"", [] { Item().name(); }},
    };
    for (const auto& refusal : refusals)
        EXPECT_EQ(errorOf(refusal.call, refusal.named), refusal.hr) << narrow(refusal.named);
    for (const std::wstring& name : std::vector<std::wstring>{
             L"", std::wstring(kMaxNameLength + 1, L'x'), L"c:", L"what?", L"x*", L"\"q\"", L"<a>",
             L"a|b", L"tab\there", std::wstring(L"nul\0x", 5), L".", L".."})
        EXPECT_EQ(errorOf([&] { checkItemName(name); }), STG_E_INVALIDNAME) << narrow(name);
    EXPECT_EQ(names(root), (std::vector<std::wstring>{L"dir", L"file.txt"}));
}

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

// Not there, empty, random, cut short: a clear storage error, never a crash.
TEST_F(ContainerTest, WhatIsNoContainerIsRefusedClearly) {
    EXPECT_EQ(errorOf([&] { Container::open(path + L"x"); }), STG_E_FILENOTFOUND);
    storage->close();
    const std::vector<BYTE> whole = fileBytes(path);
    for (size_t length : {size_t(0), size_t(512), size_t(4096), whole.size() / 2}) {
        putFileBytes(path, std::vector<BYTE>(whole.begin(), whole.begin() + length));
        EXPECT_TRUE(FAILED(useAll(path))) << length;
    }
    putFileBytes(path, patternBytes(100000, 1));
    EXPECT_EQ(errorOf([&] { Container::open(path); }, L"not a storage container"),
              STG_E_DOCFILECORRUPT);
    EXPECT_EQ(errorOf([&] { defragmentContainer(path); }), STG_E_DOCFILECORRUPT);
}

// Every byte of an item's record is covered by its authentication code.
TEST_F(ContainerTest, AnyChangedByteOfAnItemRecordIsRefused) {
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
