// cfxstore.exe as its clients see it: items, streams, properties and checksums
// crossing whole, refusals with an error object naming the item; storages
// locked, released and frozen; a killed server losing nothing committed.
#include "RemoteStorage.h"

#include <functional>

namespace cfx::store::test {
namespace {

using cfx::check;

class ServerItems : public testing::Test {
protected:
    LONG state() {
        LONG value = -1;
        check(server_->GetStorageState(bstr(path_).get(), &value));
        return value;
    }

    // Whether another program can open the file exclusively now.
    bool exclusivelyOpenable() {
        ComPtr<IStorage> storage;
        return SUCCEEDED(StgOpenStorageEx(path_.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                          STGFMT_DOCFILE, 0, nullptr, nullptr,
                                          IID_PPV_ARGS(&storage)));
    }

    ScratchFolder scratch_;
    const std::wstring path_ = scratch_.file(L"items.demo-coffrex");
    ComPtr<IStorageServer> server_ = connectServer();
    ComPtr<IStorageFolder> root_ = createStorage(server_.Get(), path_);
};

TEST_F(ServerItems, ItemsStreamsAndPropertiesCrossWhole) {
    ComPtr<IStorageFolder> deep = folder(folder(root_.Get(), L"a", true).Get(), L"b", true);
    const std::vector<BYTE> bytes(1000000, 'a'); // MD5 7707d6ae4e027c70eea2a935c2296f21
    writeFile(file(deep.Get(), L"big.bin", true).Get(), bytes, 65536);
    folder(deep.Get(), L"sub", true);
    EXPECT_EQ((std::vector<std::wstring>{L"big.bin", L"sub"}), listNames(deep.Get()));
    ComPtr<IStorageObject> item;
    ComPtr<IStorageFile> big, none;
    ASSERT_EQ(S_OK, deep->GetItem(bstr(L"big.bin").get(), &item));
    ASSERT_EQ(S_OK, item.As(&big));
    EXPECT_EQ(S_OK, deep->OpenFile(bstr(L"absent").get(), VARIANT_FALSE, &none));
    EXPECT_FALSE(none);

    BYTE checksum[16];
    ASSERT_EQ(S_OK, big->ComputeChecksum(checksum));
    EXPECT_EQ((std::vector<BYTE>{0x77, 0x07, 0xd6, 0xae, 0x4e, 0x02, 0x7c, 0x70, 0xee, 0xa2, 0xa9,
                                 0x35, 0xc2, 0x29, 0x6f, 0x21}),
              std::vector<BYTE>(checksum, checksum + 16));
    // Random access: a block rewritten in the middle, then the size cut.
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, big->OpenStream(&stream));
    ASSERT_EQ(S_OK, stream->Seek({{500000, 0}}, STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, stream->Write("bbbb", 4, nullptr));
    ASSERT_EQ(S_OK, stream->SetSize({{500002, 0}}));
    stream.Reset();
    std::vector<BYTE> expected(500002, 'a');
    expected[500000] = expected[500001] = 'b';
    EXPECT_EQ(expected, readFile(big.Get(), 65536));

    const std::wstring comment(L"Z\u00fcrich\0tail", 11);
    ASSERT_EQ(S_OK, big->SetProperty(StorageProperty_Comment, Variant(comment).get()));
    EXPECT_EQ(comment, textProperty(big.Get(), StorageProperty_Comment));
    ULONG count = 0;
    GUID* ids = nullptr;
    ASSERT_EQ(S_OK, big->ListProperties(&count, &ids));
    TaskMemory owned(ids);
    EXPECT_TRUE(count == 2 && IsEqualGUID(StorageProperty_Comment, ids[1]));
}

TEST_F(ServerItems, RefusalsCrossWithAnErrorObjectNamingTheItem) {
    ComPtr<IStorageFolder> gone = folder(root_.Get(), L"gone", true);
    ASSERT_EQ(S_OK, root_->DeleteItem(bstr(L"gone").get()));
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, root_.As(&support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IStorageFolder));
    ComPtr<IStorageItem> item;
    ComPtr<IStorageObject> storage;
    ComPtr<IStorageEnum> items;
    const std::wstring absent = scratch_.file(L"absent.demo-coffrex");
    const Variant someText(std::wstring(L"AA"));
    const struct {
        HRESULT hr;
        const wchar_t* named;
        std::function<HRESULT()> call;
    } refusals[] = {
        {STG_E_FILENOTFOUND, L"Nowhere.txt",
         [&] { return root_->GetItemInfo(bstr(L"Nowhere.txt").get(), &item); }},
        {STG_E_FILENOTFOUND, L"absent.demo-coffrex",
         [&] { return server_->OpenStorage(bstr(absent).get(), &storage); }},
        {STG_E_FILENOTFOUND, L"", [&] { return server_->LockStorage(bstr(absent + L"x").get()); }},
        {E_INVALIDARG, L"",
         [&] { return server_->OpenStorage(bstr(L"s.demo-coffrex").get(), &storage); }},
        {E_INVALIDARG, L"", [&] { return server_->SetStorageFrozen(bstr(path_).get(), 2); }},
        {STG_E_REVERTED, L"", [&] { return gone->EnumItems(&items); }},
        {DISP_E_TYPEMISMATCH, L"",
         [&] { return root_->SetProperty(StorageProperty_Frozen, someText.get()); }},
        {E_ACCESSDENIED, L"",
         [&] { return root_->SetProperty(StorageProperty_KeyId, someText.get()); }},
    };
    for (const auto& refusal : refusals) {
        Failure failure = failureOf(refusal.call());
        EXPECT_EQ(refusal.hr, failure.hr) << narrow(failure.description);
        EXPECT_FALSE(failure.description.empty());
        EXPECT_NE(std::wstring::npos, failure.description.find(refusal.named));
    }
}

TEST_F(ServerItems, LockedReleasedAndFrozenStoragesAsTheServerHoldsThem) {
    writeFile(file(root_.Get(), L"kept.txt", true).Get(), patternBytes(20000, 1));
    ComPtr<IStorageEnum> items;
    ASSERT_EQ(S_OK, server_->LockStorage(bstr(path_).get()));
    EXPECT_EQ(STG_E_REVERTED, failureOf(root_->EnumItems(&items)).hr);
    ComPtr<IStorageFolder> storage = openStorage(server_.Get(), path_);
    Failure locked = failureOf(storage->EnumItems(&items));
    EXPECT_EQ(E_ACCESSDENIED, locked.hr);
    EXPECT_NE(std::wstring::npos, locked.description.find(L"items.demo-coffrex"));
    unlock(storage.Get());
    EXPECT_EQ(StorageStateOpen, state());
    EXPECT_FALSE(exclusivelyOpenable());
    // Released, the file is free, its handles reverted; frozen, it is not held.
    ASSERT_EQ(S_OK, storage->SetProperty(StorageProperty_Frozen, Variant(true).get()));
    ASSERT_EQ(S_OK, server_->ReleaseStorage(bstr(path_).get()));
    EXPECT_EQ(StorageStateUnknown, state());
    EXPECT_EQ(STG_E_REVERTED, failureOf(storage->EnumItems(&items)).hr);
    ASSERT_EQ(S_OK, server_->SetStorageFrozen(bstr(path_).get(), 1));
    EXPECT_EQ(StorageStateFrozen, state());
    storage = openStorage(server_.Get(), path_);
    EXPECT_TRUE(exclusivelyOpenable()) << "opening a frozen storage kept its file open";
    Failure frozen = failureOf(storage->EnumItems(&items));
    EXPECT_EQ(E_ACCESSDENIED, frozen.hr);
    EXPECT_NE(std::wstring::npos, frozen.description.find(L"frozen"));
    // Thawed, the key is still known: no new unlock.
    ASSERT_EQ(S_OK, storage->SetProperty(StorageProperty_Frozen, Variant(false).get()));
    ASSERT_EQ(S_OK, server_->SetStorageFrozen(bstr(path_).get(), 0));
    storage = openStorage(server_.Get(), path_);
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(storage.Get(), L"kept.txt", false).Get()));
}

// Wine's COM keeps the class registration of a killed server: later
// activations in the same Wine session reach the dead process
// (RPC_S_SERVER_UNAVAILABLE), so this runs as a program of its own. More is
// overwritten than the journal holds in memory, so that uncommitted bytes have
// reached the file when the server dies; the next open must roll them back.
TEST(ServerKilled, LosesNothingCommittedBefore) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"killed.demo-coffrex");
    const std::vector<BYTE> kept = patternBytes(10 << 20, 7);
    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path);
        writeFile(file(root.Get(), L"kept.bin", true).Get(), kept, 1 << 20);
        ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, file(root.Get(), L"kept.bin", false)->OpenStream(&stream));
        std::vector<BYTE> other = patternBytes(1 << 20, 8);
        for (int i = 0; i < 10; ++i)
            ASSERT_EQ(S_OK, stream->Write(other.data(), 1 << 20, nullptr));
        KernelHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverProcessOf(server.Get())));
        ASSERT_TRUE(TerminateProcess(process.get(), 9));
        WaitForSingleObject(process.get(), 10000);
    }
    // Read as the next server would read it.
    auto container = Container::open(path);
    unlockWithInstalledKey(*container);
    FileStream stream = container->root().item(L"kept.bin").openStream();
    std::vector<BYTE> read(static_cast<size_t>(stream.size()));
    read.resize(stream.read(0, read.data(), static_cast<ULONG>(read.size())));
    EXPECT_TRUE(kept == read);
}

} // namespace
} // namespace cfx::store::test
