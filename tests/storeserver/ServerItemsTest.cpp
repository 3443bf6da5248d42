// The items of a storage through the server, from this process: folders,
// files, names, properties, times, contents and checksums.
#include "RemoteStorage.h"

#include "common/Base64.h"
#include "KeyClient.h"

#include "support/MemoryStorage.h"

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

TEST_F(ServerItems, FoldersNestAndListTheirItemsInTheOrderTheyWereMade) {
    ComPtr<IStorageFolder> deep = root_;
    for (const wchar_t* name : {L"a", L"b", L"c", L"d"})
        deep = folder(deep.Get(), name, true);
    writeFile(file(deep.Get(), L"leaf.txt", true).Get(), patternBytes(10, 1));
    folder(deep.Get(), L"sub", true);

    EXPECT_EQ((std::vector<std::wstring>{L"leaf.txt", L"sub"}), listNames(deep.Get()));
    BSTR path = nullptr;
    ASSERT_EQ(S_OK, deep->GetPath(&path));
    EXPECT_EQ(L"a\\b\\c\\d", text(path));
    SysFreeString(path);

    ComPtr<IStorageObject> item;
    ASSERT_EQ(S_OK, deep->GetItem(bstr(L"leaf.txt").get(), &item));
    EXPECT_EQ(StorageItemFile, typeOf(item.Get()));
    ComPtr<IStorageFile> asFile;
    ComPtr<IStorageFolder> asFolder;
    EXPECT_EQ(S_OK, item.As(&asFile));
    EXPECT_EQ(E_NOINTERFACE, item.As(&asFolder));
    ASSERT_EQ(S_OK, deep->GetItem(bstr(L"sub").get(), &item));
    EXPECT_EQ(S_OK, item.As(&asFolder));
    EXPECT_EQ(E_NOINTERFACE, item.As(&asFile));

    // A folder with everything below it goes in one call.
    ASSERT_EQ(S_OK, root_->DeleteItem(bstr(L"a").get()));
    EXPECT_TRUE(listNames(root_.Get()).empty());
    ComPtr<IStorageEnum> items;
    EXPECT_EQ(STG_E_REVERTED, failureOf(deep->EnumItems(&items)).hr);
}

TEST_F(ServerItems, NamesKeepTheirCaseAndMatchWithoutIt) {
    const std::wstring unicode = L"R\u00e9sum\u00e9 \u65e5\u672c \U0001F600.txt";
    const std::wstring longName(2000, L'n');
    for (const std::wstring& name : {unicode, longName, std::wstring(L"MiXeD.TxT")})
        writeFile(file(root_.Get(), name, true).Get(), patternBytes(5, 2));
    EXPECT_EQ((std::vector<std::wstring>{unicode, longName, L"MiXeD.TxT"}), listNames(root_.Get()));

    EXPECT_TRUE(file(root_.Get(), L"mixed.txt", false)) << "names match without regard to case";
    ComPtr<IStorageFolder> sub;
    EXPECT_EQ(STG_E_FILEALREADYEXISTS,
              failureOf(root_->OpenFolder(bstr(L"MIXED.TXT").get(), VARIANT_TRUE, &sub)).hr);
    EXPECT_EQ(STG_E_FILEALREADYEXISTS,
              failureOf(root_->RenameItem(bstr(unicode).get(), bstr(L"mixed.txt").get())).hr);

    // A rename that changes only the case is a rename.
    ASSERT_EQ(S_OK, root_->RenameItem(bstr(L"mixed.txt").get(), bstr(L"Mixed.txt").get()));
    EXPECT_EQ(L"Mixed.txt", listNames(root_.Get()).back());

    // Absent without create: a success with no file.
    ComPtr<IStorageFile> none;
    EXPECT_EQ(S_OK, root_->OpenFile(bstr(L"absent").get(), VARIANT_FALSE, &none));
    EXPECT_FALSE(none);
    EXPECT_EQ(STG_E_PATHNOTFOUND,
              failureOf(root_->OpenFolder(bstr(L"absent").get(), VARIANT_FALSE, &sub)).hr);
    EXPECT_EQ(STG_E_FILENOTFOUND, failureOf(root_->DeleteItem(bstr(L"absent").get())).hr);
}

TEST_F(ServerItems, BadNamesAreRefusedAndChangeNothing) {
    for (const std::wstring& bad : {std::wstring(), std::wstring(L"a\\b"), std::wstring(L"a/b"),
                                    std::wstring(L".."), std::wstring(32751, L'x')}) {
        ComPtr<IStorageFile> created;
        Failure failure = failureOf(root_->OpenFile(bstr(bad).get(), VARIANT_TRUE, &created));
        EXPECT_EQ(STG_E_INVALIDNAME, failure.hr) << narrow(bad.substr(0, 20));
        EXPECT_FALSE(failure.description.empty());
    }
    EXPECT_TRUE(listNames(root_.Get()).empty());
}

TEST_F(ServerItems, PropertiesAreKeptPerItemAndAbsentOnesReadEmpty) {
    ComPtr<IStorageFile> target = file(root_.Get(), L"p.txt", true);
    Variant value;
    ASSERT_EQ(S_OK, target->GetProperty(StorageProperty_Comment, value.put()));
    EXPECT_EQ(VT_EMPTY, value.type());

    // Every item has an Id of its own, a GUID in registry form.
    std::wstring fileId = textProperty(target.Get(), StorageProperty_Id);
    std::wstring storageId = textProperty(root_.Get(), StorageProperty_Id);
    GUID parsed;
    EXPECT_EQ(NOERROR, CLSIDFromString(fileId.c_str(), &parsed));
    EXPECT_NE(fileId, storageId);

    ASSERT_EQ(S_OK, target->SetProperty(StorageProperty_Comment, Variant::text(L"QUJD")->get()));
    ASSERT_EQ(S_OK,
              target->SetProperty(StorageProperty_Checksum,
                                  Variant::text(L"{00112233-4455-6677-8899-AABBCCDDEEFF}")->get()));
    EXPECT_EQ(L"QUJD", textProperty(target.Get(), StorageProperty_Comment));

    ULONG count = 0;
    GUID* ids = nullptr;
    ASSERT_EQ(S_OK, target->ListProperties(&count, &ids));
    TaskMemory owned(ids);
    ASSERT_EQ(3u, count);
    EXPECT_TRUE(IsEqualGUID(StorageProperty_Id, ids[0]));
    EXPECT_TRUE(IsEqualGUID(StorageProperty_Comment, ids[1]));
    EXPECT_TRUE(IsEqualGUID(StorageProperty_Checksum, ids[2]));

    ASSERT_EQ(S_OK, target->RemoveProperty(StorageProperty_Comment));
    ASSERT_EQ(S_OK, target->GetProperty(StorageProperty_Comment, value.put()));
    EXPECT_EQ(VT_EMPTY, value.type());

    // The storage's own: Frozen, Flags and AttachedKey with their types.
    ASSERT_EQ(S_OK, root_->SetProperty(StorageProperty_Frozen, Variant::boolean(false)->get()));
    ASSERT_EQ(S_OK, root_->SetProperty(StorageProperty_Flags, Variant::number(1)->get()));
    ASSERT_EQ(S_OK, root_->SetProperty(StorageProperty_AttachedKey, Variant::text(L"AAEC")->get()));
    ASSERT_EQ(S_OK, root_->GetProperty(StorageProperty_Flags, value.put()));
    EXPECT_EQ(VT_UI8, value.type());
    EXPECT_EQ(
        DISP_E_TYPEMISMATCH,
        failureOf(root_->SetProperty(StorageProperty_Frozen, Variant::text(L"yes")->get())).hr);
    Failure fixed =
        failureOf(root_->SetProperty(StorageProperty_KeyId, Variant::text(L"AA")->get()));
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
    auto expected = cfx::test::contentDigest(bytes.data(), bytes.size());
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

TEST_F(ServerItems, TimesFollowCreationAndWrites) {
    ComPtr<IStorageFile> target = file(root_.Get(), L"t.txt", true);
    ::ItemTimes made{};
    ASSERT_EQ(S_OK, target->GetTimes(&made));
    EXPECT_NE(0u, made.creation.dwLowDateTime | made.creation.dwHighDateTime);
    Sleep(20);
    writeFile(target.Get(), patternBytes(100, 5));
    ::ItemTimes written{};
    ASSERT_EQ(S_OK, target->GetTimes(&written));
    EXPECT_EQ(0, CompareFileTime(&made.creation, &written.creation));
    EXPECT_LT(CompareFileTime(&made.write, &written.write), 0);

    // A listing's snapshot tells the same as the item.
    ComPtr<IStorageItem> info;
    ASSERT_EQ(S_OK, root_->GetItemInfo(bstr(L"T.TXT").get(), &info));
    ::ItemTimes listed{};
    ASSERT_EQ(S_OK, info->GetTimes(&listed));
    EXPECT_EQ(0, CompareFileTime(&written.write, &listed.write));
    EXPECT_EQ(100u, sizeOf(info.Get()));
    EXPECT_EQ(StorageItemFile, typeOf(info.Get()));
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

TEST_F(ServerItems, AnotherStoragesKeyOrABrokenAnswerDoesNotUnlock) {
    ComPtr<IStorageFolder> other =
        createStorage(server_.Get(), scratch_.file(L"other.demo-coffrex"), secondCertificate());
    const std::wstring path = scratch_.file(L"items.demo-coffrex");
    ASSERT_EQ(S_OK, server_->LockStorage(bstr(path).get()));
    ComPtr<IStorageFolder> locked = openStorage(server_.Get(), path);

    // The other storage's key, recovered with its certificate's private key,
    // answered for this storage's request.
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, L"cfx store test key 2", nullptr, PROV_RSA_AES, 0));
    HCRYPTKEY privateKey = 0;
    ASSERT_TRUE(CryptGetUserKey(provider, AT_KEYEXCHANGE, &privateKey));
    StorageKey otherKey = decryptKeyRecord(
        privateKey, fromBase64(textProperty(other.Get(), StorageProperty_KeyRecord)));
    CryptDestroyKey(privateKey);
    CryptReleaseContext(provider, 0);
    std::wstring foreign = toBase64(
        answerKeyState(fromBase64(textProperty(locked.Get(), StorageProperty_KeyState)), otherKey));
    Failure wrong =
        failureOf(locked->SetProperty(StorageProperty_KeyState, Variant::text(foreign)->get()));
    EXPECT_EQ(E_ACCESSDENIED, wrong.hr);
    EXPECT_NE(std::wstring::npos, wrong.description.find(L"items.demo-coffrex"));
    ComPtr<IStorageEnum> items;
    EXPECT_EQ(E_ACCESSDENIED, failureOf(locked->EnumItems(&items)).hr);

    for (const wchar_t* broken : {L"not base64!", L"AAAA"}) {
        Failure failure =
            failureOf(locked->SetProperty(StorageProperty_KeyState, Variant::text(broken)->get()));
        EXPECT_EQ(E_INVALIDARG, failure.hr) << narrow(broken);
    }
    unlock(locked.Get());
    EXPECT_EQ(S_OK, locked->EnumItems(&items));
}

} // namespace
} // namespace cfx::store::test
