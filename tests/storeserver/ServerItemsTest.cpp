// A storage through the server, from this process: folders, files,
// properties, contents and checksums; and the storage files as the server
// holds them: released, frozen, locked, damaged, and the table of what is open.
#include "RemoteStorage.h"

#include <algorithm>
#include <fstream>

namespace cfx::store::test {
namespace {

using cfx::check;

class ServerItems : public testing::Test {
protected:
    void SetUp() override {
        server_ = connectServer();
        root_ = createStorage(server_.Get(), scratch_.file(L"items.demo-coffrex"));
    }

    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_;
    ComPtr<IStorageFolder> root_;
};

LONG typeOf(IStorageItem* item) {
    LONG type = 0;
    check(item->GetType(&type));
    return type;
}

ULONGLONG sizeOf(IStorageItem* item) {
    ULONGLONG size = 0;
    check(item->GetSize(&size));
    return size;
}

// What the engine's own tests cannot see: which interfaces an item answers
// across the process, a success with no file, handles of a deleted folder.
TEST_F(ServerItems, ItemsAnswerTheirInterfacesAndDeletedOnesAreReverted) {
    ComPtr<IStorageFolder> deep = folder(folder(root_.Get(), L"a", true).Get(), L"b", true);
    writeFile(file(deep.Get(), L"leaf.txt", true).Get(), patternBytes(10, 1));
    folder(deep.Get(), L"sub", true);
    EXPECT_EQ((std::vector<std::wstring>{L"leaf.txt", L"sub"}), listNames(deep.Get()));
    Bstr path;
    ASSERT_EQ(S_OK, deep->GetPath(path.put()));
    EXPECT_EQ(L"a\\b", text(path.get()));

    ComPtr<IStorageObject> item;
    ComPtr<IStorageFile> asFile;
    ComPtr<IStorageFolder> asFolder;
    ASSERT_EQ(S_OK, deep->GetItem(bstr(L"leaf.txt").get(), &item));
    EXPECT_EQ(StorageItemFile, typeOf(item.Get()));
    EXPECT_EQ(S_OK, item.As(&asFile));
    EXPECT_EQ(E_NOINTERFACE, item.As(&asFolder));
    ASSERT_EQ(S_OK, deep->GetItem(bstr(L"sub").get(), &item));
    EXPECT_EQ(S_OK, item.As(&asFolder));
    EXPECT_EQ(E_NOINTERFACE, item.As(&asFile));

    ComPtr<IStorageFile> none;
    EXPECT_EQ(S_OK, deep->OpenFile(bstr(L"absent").get(), VARIANT_FALSE, &none));
    EXPECT_FALSE(none);

    ASSERT_EQ(S_OK, root_->DeleteItem(bstr(L"a").get()));
    EXPECT_TRUE(listNames(root_.Get()).empty());
    ComPtr<IStorageEnum> items;
    EXPECT_EQ(STG_E_REVERTED, failureOf(deep->EnumItems(&items)).hr);
}

// Values cross whole, with their types; refusals cross with a description.
TEST_F(ServerItems, PropertyValuesAndRefusalsCrossWhole) {
    ComPtr<IStorageFile> target = file(root_.Get(), L"p.txt", true);
    Variant value;
    ASSERT_EQ(S_OK, target->GetProperty(StorageProperty_Comment, value.put()));
    EXPECT_EQ(VT_EMPTY, value.type());
    const std::wstring comment(L"Z\u00fcrich\0tail", 11);
    ASSERT_EQ(S_OK,
              target->SetProperty(StorageProperty_Comment, Variant(std::wstring(comment)).get()));
    EXPECT_EQ(comment, textProperty(target.Get(), StorageProperty_Comment));
    ULONG count = 0;
    GUID* ids = nullptr;
    ASSERT_EQ(S_OK, target->ListProperties(&count, &ids));
    TaskMemory owned(ids);
    ASSERT_EQ(2u, count);
    EXPECT_TRUE(IsEqualGUID(StorageProperty_Comment, ids[1]));

    ASSERT_EQ(S_OK, root_->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(1)).get()));
    ASSERT_EQ(S_OK, root_->GetProperty(StorageProperty_Flags, value.put()));
    EXPECT_EQ(VT_UI8, value.type());
    EXPECT_EQ(
        DISP_E_TYPEMISMATCH,
        failureOf(root_->SetProperty(StorageProperty_Frozen, Variant(std::wstring(L"yes")).get()))
            .hr);
    Failure fixed =
        failureOf(root_->SetProperty(StorageProperty_KeyId, Variant(std::wstring(L"AA")).get()));
    EXPECT_EQ(E_ACCESSDENIED, fixed.hr);
    EXPECT_FALSE(fixed.description.empty());
}

TEST_F(ServerItems, LargeFilesGoThroughIn4096ByteBlocksWithTheirChecksum) {
    const std::vector<BYTE> bytes = patternBytes(4 * 1024 * 1024 + 123, 3);
    ComPtr<IStorageFile> big = file(root_.Get(), L"big.bin", true);
    writeFile(big.Get(), bytes);
    EXPECT_EQ(bytes.size(), sizeOf(big.Get()));
    EXPECT_EQ(bytes, readFile(big.Get()));

    BYTE checksum[16];
    ASSERT_EQ(S_OK, big->ComputeChecksum(checksum));
    const auto expected = md5(bytes);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), checksum));

    // Random access: a block rewritten in the middle, then the size cut.
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, big->OpenStream(&stream));
    LARGE_INTEGER middle;
    middle.QuadPart = 1000000;
    ASSERT_EQ(S_OK, stream->Seek(middle, STREAM_SEEK_SET, nullptr));
    std::vector<BYTE> block = patternBytes(4096, 4);
    ASSERT_EQ(S_OK, stream->Write(block.data(), 4096, nullptr));
    ULARGE_INTEGER cut;
    cut.QuadPart = 1002000;
    ASSERT_EQ(S_OK, stream->SetSize(cut));
    STATSTG stat{};
    ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_DEFAULT));
    TaskMemory name(stat.pwcsName);
    EXPECT_EQ(cut.QuadPart, stat.cbSize.QuadPart);
    EXPECT_STREQ(L"big.bin", stat.pwcsName);
    stream.Reset();

    std::vector<BYTE> now = readFile(big.Get(), 65536);
    ASSERT_EQ(cut.QuadPart, now.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1000000, now.begin()));
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 2000, now.begin() + 1000000));
}

TEST_F(ServerItems, ALockedStorageAnswersItsPropertiesButNotItsContents) {
    writeFile(file(root_.Get(), L"secret.txt", true).Get(), patternBytes(50, 6));
    const std::wstring path = scratch_.file(L"items.demo-coffrex");
    ASSERT_EQ(S_OK, server_->LockStorage(bstr(path).get()));
    ComPtr<IStorageEnum> items;
    EXPECT_EQ(STG_E_REVERTED, failureOf(root_->EnumItems(&items)).hr);

    ComPtr<IStorageFolder> locked = openStorage(server_.Get(), path);
    EXPECT_FALSE(textProperty(locked.Get(), StorageProperty_KeyId).empty());
    Failure refused = failureOf(locked->EnumItems(&items));
    EXPECT_EQ(E_ACCESSDENIED, refused.hr);
    EXPECT_NE(std::wstring::npos, refused.description.find(L"items.demo-coffrex"));

    unlock(locked.Get());
    EXPECT_EQ(patternBytes(50, 6), readFile(file(locked.Get(), L"secret.txt", false).Get()));
}

class ServerState : public testing::Test {
protected:
    void SetUp() override {
        server_ = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server_.Get(), path_);
        writeFile(file(root.Get(), L"kept.txt", true).Get(), patternBytes(20000, 1));
    }

    LONG state() {
        LONG value = -1;
        check(server_->GetStorageState(bstr(path_).get(), &value));
        return value;
    }

    std::vector<std::wstring> listed() {
        SAFEARRAY* paths = nullptr;
        check(server_->ListStorages(&paths));
        std::vector<std::wstring> result;
        BSTR* items = nullptr;
        check(SafeArrayAccessData(paths, reinterpret_cast<void**>(&items)));
        for (ULONG i = 0; i < paths->rgsabound[0].cElements; ++i)
            if (text(items[i]).rfind(scratch_.path(), 0) == 0) // this test's only
                result.push_back(text(items[i]));
        SafeArrayUnaccessData(paths);
        SafeArrayDestroy(paths);
        return result;
    }

    // Whether another program can open the file exclusively now.
    bool exclusivelyOpenable() {
        IStorage* storage = nullptr;
        HRESULT hr =
            StgOpenStorageEx(path_.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_DOCFILE,
                             0, nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&storage));
        if (storage)
            storage->Release();
        return SUCCEEDED(hr);
    }

    ScratchFolder scratch_;
    const std::wstring path_ = scratch_.file(L"state.demo-coffrex");
    ComPtr<IStorageServer> server_;
};

TEST_F(ServerState, AnOpenStorageIsListedHeldAndReleasedOnRequest) {
    EXPECT_EQ(StorageStateOpen, state());
    EXPECT_EQ(std::vector<std::wstring>{path_}, listed());
    EXPECT_FALSE(exclusivelyOpenable());

    ComPtr<IStorageFolder> before = openStorage(server_.Get(), path_);
    ASSERT_EQ(S_OK, server_->ReleaseStorage(bstr(path_).get()));
    EXPECT_EQ(StorageStateUnknown, state());
    EXPECT_TRUE(listed().empty());
    EXPECT_TRUE(exclusivelyOpenable());
    ComPtr<IStorageEnum> items;
    EXPECT_EQ(STG_E_REVERTED, failureOf(before->EnumItems(&items)).hr);

    // The key stays known: opened again, the storage needs no new unlock.
    ComPtr<IStorageFolder> again = openStorage(server_.Get(), path_);
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(again.Get(), L"kept.txt", false).Get()));
    EXPECT_EQ(S_OK, server_->CommitStorage(bstr(path_).get()));
}

TEST_F(ServerState, AFrozenStorageStaysClosedButAnswersItsProperties) {
    ComPtr<IStorageFolder> storage = openStorage(server_.Get(), path_);
    ASSERT_EQ(S_OK, storage->SetProperty(StorageProperty_Frozen, Variant(bool(true)).get()));
    ASSERT_EQ(S_OK, server_->ReleaseStorage(bstr(path_).get()));
    ASSERT_EQ(S_OK, server_->SetStorageFrozen(bstr(path_).get(), 1));
    EXPECT_EQ(StorageStateFrozen, state());

    // Held frozen, the file can be moved away and back, and opened exclusively.
    const std::wstring moved = scratch_.file(L"moved.demo-coffrex");
    ASSERT_TRUE(MoveFileW(path_.c_str(), moved.c_str()));
    ASSERT_TRUE(MoveFileW(moved.c_str(), path_.c_str()));

    ComPtr<IStorageFolder> frozen = openStorage(server_.Get(), path_);
    EXPECT_TRUE(exclusivelyOpenable()) << "opening a frozen storage kept its file open";
    Variant value;
    ASSERT_EQ(S_OK, frozen->GetProperty(StorageProperty_Frozen, value.put()));
    EXPECT_EQ(VT_BOOL, value.type());
    EXPECT_EQ(VARIANT_TRUE, value.get().boolVal);
    ComPtr<IStorageEnum> items;
    Failure refused = failureOf(frozen->EnumItems(&items));
    EXPECT_EQ(E_ACCESSDENIED, refused.hr);
    EXPECT_NE(std::wstring::npos, refused.description.find(L"frozen"));
    EXPECT_TRUE(exclusivelyOpenable());

    // Thawing: the property cleared on the frozen storage, then the state.
    ASSERT_EQ(S_OK, frozen->SetProperty(StorageProperty_Frozen, Variant(bool(false)).get()));
    ASSERT_EQ(S_OK, server_->SetStorageFrozen(bstr(path_).get(), 0));
    ComPtr<IStorageFolder> thawed = openStorage(server_.Get(), path_);
    EXPECT_EQ(StorageStateOpen, state());
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(thawed.Get(), L"kept.txt", false).Get()));

    EXPECT_EQ(E_INVALIDARG, failureOf(server_->SetStorageFrozen(bstr(path_).get(), 2)).hr);
}

TEST_F(ServerState, AStorageTheServerNeverSawHasNoState) {
    LONG value = -1;
    ASSERT_EQ(S_OK,
              server_->GetStorageState(bstr(scratch_.file(L"other.demo-coffrex")).get(), &value));
    EXPECT_EQ(StorageStateUnknown, value);
    EXPECT_EQ(STG_E_FILENOTFOUND,
              failureOf(server_->LockStorage(bstr(scratch_.file(L"x.demo-coffrex")).get())).hr);
}

TEST_F(ServerState, DamagedFilesAreRefusedClearly) {
    const std::wstring truncated = scratch_.file(L"truncated.demo-coffrex");
    ASSERT_EQ(S_OK, server_->ReleaseStorage(bstr(path_).get()));
    std::vector<BYTE> bytes = fileBytes(path_);
    {
        std::ofstream out(truncated.c_str(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(std::min<size_t>(bytes.size(), 4096)));
    }
    // Damage shows when the file is opened, unlocked or read, whichever
    // comes first, as a storage error with a description; the server stays.
    Failure failure = failureOf([&] {
        try {
            ComPtr<IStorageObject> storage;
            check(server_->OpenStorage(bstr(truncated).get(), &storage));
            unlock(storage.Get());
            ComPtr<IStorageFolder> root;
            check(storage.As(&root));
            readFile(file(root.Get(), L"kept.txt", false).Get());
        } catch (const _com_error& e) {
            return e.Error();
        }
        return S_OK;
    }());
    EXPECT_EQ(STG_E_DOCFILECORRUPT, failure.hr);
    DWORD processId = 0;
    LONG roots = 0;
    EXPECT_EQ(S_OK, server_->GetServerInfo(&processId, &roots)) << "the server went down";
    // The good one is untouched by all that.
    ComPtr<IStorageFolder> root = openStorage(server_.Get(), path_);
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(root.Get(), L"kept.txt", false).Get()));
}

} // namespace
} // namespace cfx::store::test
