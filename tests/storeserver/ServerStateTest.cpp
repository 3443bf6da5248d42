// The storage files as the server holds them: released, frozen, locked,
// defragmented, damaged, and the table of what is open.
#include "RemoteStorage.h"

#include <algorithm>
#include <fstream>

namespace cfx::store::test {
namespace {

using cfx::check;

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
    ASSERT_EQ(S_OK, storage->SetProperty(StorageProperty_Frozen, Variant::boolean(true)->get()));
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
    ASSERT_EQ(S_OK, frozen->SetProperty(StorageProperty_Frozen, Variant::boolean(false)->get()));
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

TEST_F(ServerState, DefragmentationKeepsTheContentsAndShrinksTheFile) {
    ComPtr<IStorageFolder> root = openStorage(server_.Get(), path_);
    for (int i = 0; i < 8; ++i)
        writeFile(file(root.Get(), L"gone-" + std::to_wstring(i), true).Get(),
                  patternBytes(200000, 10 + static_cast<unsigned>(i)));
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(S_OK, root->DeleteItem(bstr(L"gone-" + std::to_wstring(i)).get()));
    ASSERT_EQ(S_OK, server_->CommitStorage(bstr(path_).get()));
    const ULONGLONG before = fileSize(path_);

    // Open: handles stay valid across it.
    ASSERT_EQ(S_OK, server_->DefragmentStorage(bstr(path_).get()));
    EXPECT_LT(fileSize(path_), before);
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(root.Get(), L"kept.txt", false).Get()));

    // Held frozen: the closed file is rewritten.
    ASSERT_EQ(S_OK, server_->SetStorageFrozen(bstr(path_).get(), 1));
    ASSERT_EQ(S_OK, server_->DefragmentStorage(bstr(path_).get()));
    ASSERT_EQ(S_OK, server_->SetStorageFrozen(bstr(path_).get(), 0));
    ComPtr<IStorageFolder> again = openStorage(server_.Get(), path_);
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(again.Get(), L"kept.txt", false).Get()));
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
    // comes first, as a storage error with a description.
    for (const std::wstring& damaged : {truncated}) {
        Failure failure = failureOf([&] {
            ComPtr<IStorageObject> storage;
            HRESULT hr = server_->OpenStorage(bstr(damaged).get(), &storage);
            if (FAILED(hr))
                return hr;
            HRESULT unlocked = S_OK;
            try {
                unlock(storage.Get());
                ComPtr<IStorageFolder> root;
                check(storage.As(&root));
                readFile(file(root.Get(), L"kept.txt", false).Get());
            } catch (const _com_error& e) {
                unlocked = e.Error();
            }
            return unlocked;
        }());
        EXPECT_EQ(STG_E_DOCFILECORRUPT, failure.hr) << narrow(damaged);
        DWORD processId = 0;
        LONG roots = 0;
        EXPECT_EQ(S_OK, server_->GetServerInfo(&processId, &roots)) << "the server went down";
    }
    // The good one is untouched by all that.
    ComPtr<IStorageFolder> root = openStorage(server_.Get(), path_);
    EXPECT_EQ(patternBytes(20000, 1), readFile(file(root.Get(), L"kept.txt", false).Get()));
}

} // namespace
} // namespace cfx::store::test
