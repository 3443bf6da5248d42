// The container through the engine's interface: trees, names, contents,
// times, properties, renames and deletes, locking, freezing and
// defragmenting (what reaches the file in the clear: StorageSecrecy).
#include "Container.h"
#include "ItemName.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <functional>

namespace cfx::store::test {
namespace {

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
    file.setProperty(kNote, Variant(std::wstring(L"a note \u00E9")).get());
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
    EXPECT_EQ(deep.list()[1].size, 0u);
    file = root.item(longName);
    EXPECT_EQ(readText(file, StorageProperty_Id), id);
    EXPECT_NE(id, readText(root, StorageProperty_Id));
    EXPECT_EQ(file.info().times.write.dwLowDateTime, 3u);
    EXPECT_EQ(file.times().creation.dwHighDateTime, chosen.creation.dwHighDateTime);
    EXPECT_EQ(file.listProperties(), (std::vector<GUID>{StorageProperty_Id, kCount, kNote}));
    Variant value;
    file.getProperty(kCount, value.put());
    EXPECT_EQ(value.get().ullVal, 0x1234567890ABCDEFull);
    file.getProperty(kNote, value.put());
    EXPECT_EQ(value.type(), VT_BOOL);
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
        {STG_E_FILENOTFOUND, L"", [&] { root.rename(L"nothing", L"x"); }},
        {STG_E_INVALIDNAME, L"'a/b'", [&] { folder.openFolder(L"a/b", true); }},
        {STG_E_INVALIDNAME, L"", [&] { root.rename(L"dir", L"a\\b"); }},
        {STG_E_INVALIDFUNCTION, L"", [&] { file.list(); }},
        {STG_E_INVALIDFUNCTION, L"", [&] { folder.openStream(); }},
        {E_ACCESSDENIED, L"", [&] { root.setProperty(StorageProperty_Id, Variant(L"x").get()); }},
        {DISP_E_BADVARTYPE, L"", [&] { file.setProperty(kNote, unknown.get()); }},
        {E_POINTER, L"", [] { Item().name(); }},
    };
    for (const auto& refusal : refusals)
        EXPECT_EQ(errorOf(refusal.call, refusal.named), refusal.hr) << narrow(refusal.named);
    for (const std::wstring& name :
         {std::wstring(), std::wstring(kMaxNameLength + 1, L'x'), std::wstring(L"c:"),
          std::wstring(L"what?"), std::wstring(L"x*"), std::wstring(L"\"q\""), std::wstring(L"<a>"),
          std::wstring(L"a|b"), std::wstring(L"tab\there"), std::wstring(L"nul\0x", 5),
          std::wstring(L"."), std::wstring(L"..")})
        EXPECT_EQ(errorOf([&] { checkItemName(name); }), STG_E_INVALIDNAME) << narrow(name);
    EXPECT_FALSE(root.openFile(L"dir", false).has_value());
    EXPECT_EQ(names(root), (std::vector<std::wstring>{L"dir", L"file.txt"}));
}

TEST_F(ContainerTest, LockedOrFrozenItServesOnlyItsStorageLevelProperties) {
    writeAll(*storage->root().openFile(L"secret.txt", true), patternBytes(100, 10));
    storage->close();
    storage = Container::open(path);
    Item root = storage->root();
    EXPECT_FALSE(readText(root, StorageProperty_KeyRecord).empty());
    EXPECT_EQ(root.listProperties().size(), 4u); // Id and the three key properties
    for (int frozen = 0; frozen < 2; ++frozen) {
        Variant value;
        for (const std::function<void()>& call : std::initializer_list<std::function<void()>>{
                 [&] { root.list(); }, [&] { root.item(L"secret.txt"); },
                 [&] { root.openFile(L"new", true); }, [&] { root.times(); },
                 [&] { root.getProperty(StorageProperty_Comment, value.put()); }})
            EXPECT_EQ(errorOf(call, frozen ? L"frozen" : L"locked"), E_ACCESSDENIED);
        // Frozen and locked, it still thaws without the key.
        root.setProperty(StorageProperty_Frozen, Variant(frozen == 0).get());
        if (frozen == 0)
            unlockWithInstalledKey(*storage);
    }
    EXPECT_FALSE(storage->isFrozen());
    EXPECT_EQ(readAll(root.item(L"secret.txt")), patternBytes(100, 10));
    storage->lock(); // forgets the key
    EXPECT_EQ(errorOf([&] { root.list(); }), E_ACCESSDENIED);
}

// Open (handles stay valid) and closed: smaller after deletes, the same contents.
TEST_F(ContainerTest, DefragmentingShrinksTheFileAndKeepsEverything) {
    Item kept = storage->root().openFolder(L"kept", true);
    writeAll(*kept.openFile(L"file", true), patternBytes(300000, 1));
    for (int closed = 0; closed < 2; ++closed) {
        writeAll(*storage->root().openFile(L"gone", true), patternBytes(3000000, 2));
        storage->root().remove(L"gone");
        const ULONGLONG before = fileSize(path);
        if (closed) {
            storage->close();
            EXPECT_EQ(errorOf([&] { defragmentContainer(path + L"x"); }), STG_E_FILENOTFOUND);
            defragmentContainer(path);
            EXPECT_LT(fileSize(path), before / 3);
            kept = reopened().item(L"kept");
        } else {
            EXPECT_EQ(errorOf([&] { defragmentContainer(path); }), STG_E_SHAREVIOLATION);
            storage->defragment();
            EXPECT_LT(fileSize(path), before / 3);
        }
        EXPECT_EQ(readAll(kept.item(L"file")), patternBytes(300000, 1));
    }
}

} // namespace
} // namespace cfx::store::test
