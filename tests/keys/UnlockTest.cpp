// Unlocking storages made by the real storage server with keys made by
// openssl at build time: the key table, both prompts answered by the robot,
// the error box, and the storage key kept out of every file.
#include "storeserver/RemoteStorage.h"

#include "common/Base64.h"
#include "server/CertificateStore.h"
#include "server/ErrorReport.h"
#include "server/KeyTable.h"
#include "server/StorageProperties.h"
#include "server/StorageUnlock.h"
#include "support/LoadedLibrary.h"
#include "support/MemoryStorage.h"
#include "support/UiRobot.h"

#include <algorithm>

namespace cfx::store::test {
namespace {

using cfx::test::Box;
using cfx::test::Icon;
using cfx::test::UiRobot;

constexpr wchar_t kAttachedKeyQuestion[] =
    L"Unable to open the storage. An appropriate installed key was not found but the storage has "
    L"the key attached.\n\nDo you want to install attached key right now?";
constexpr wchar_t kMissingKeyQuestion[] =
    L"Unable to open the storage. An appropriate key was not found.\nPlease, install the key that "
    L"was created with this storage and try to open the storage again.\n\nDo you want to install "
    L"the key right now if you have one?";

std::wstring keyFile(const wchar_t* name) {
    return cfx::test::programFolder() + L"testkeys\\" + name + L".pfx";
}

// A key file's certificate, imported (its key into a container of this
// prefix) but not installed in "MY".
Certificate importedKey(const wchar_t* name) {
    std::vector<Certificate> imported = ImportPfxFile(keyFile(name), nullptr);
    if (imported.empty())
        raise(E_UNEXPECTED);
    return imported.front();
}

void install(const Certificate& certificate) {
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    if (!my || !CertAddCertificateContextToStore(my.get(), certificate.get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        cfx::throwLastError();
}

void uninstall(const Certificate& certificate) {
    try {
        DeleteInstalledCertificate(FindByKeyIdentifier(GetKeyIdentifier(certificate.get())));
    } catch (const cfx::win_except&) {
    }
}

KeyCertificate keyCertificate(const Certificate& certificate) {
    const CERT_CONTEXT* context = certificate.get();
    return {
        std::vector<BYTE>(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded),
        GetKeyIdentifier(context)};
}

// A storage folder as the unlock sees it, over a root folder of this thread.
class Site : public UnlockSite {
public:
    Site(ComPtr<IStorageFolder> root, std::wstring path, bool isRoot = true)
        : root_(std::move(root)), path_(std::move(path)), isRoot_(isRoot) {}

    GUID storageId() override { return readStorageId(root_.Get()); }
    ComPtr<IStorageFolder> rootFolder() override { return root_; }
    std::wstring storagePath() override { return path_; }
    HWND ownerWindow() override { return nullptr; }
    bool isStorageRoot() override { return isRoot_; }
    void holdKeyReference() override { holdsReference = true; }

    bool holdsReference = false;

private:
    ComPtr<IStorageFolder> root_;
    std::wstring path_;
    bool isRoot_;
};

Box keyPrompt(const wchar_t* text) {
    return Box().caption(L"Coffrex").text(text).icon(Icon::Warning).buttons({IDYES, IDNO});
}

Box errorBox(HRESULT hr) {
    return Box()
        .caption(L"Coffrex")
        .text(L"An error has occured:\n\n" + errorText(static_cast<DWORD>(hr)))
        .icon(Icon::Error);
}

bool contains(const std::vector<BYTE>& haystack, const std::vector<BYTE>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class Unlock : public testing::Test {
protected:
    static void SetUpTestSuite() {
        first_ = new Certificate(importedKey(L"first"));
        second_ = new Certificate(importedKey(L"second"));
    }
    static void TearDownTestSuite() {
        delete first_;
        delete second_;
    }

    void SetUp() override {
        install(*first_);
        uninstall(*second_);
        saved_ = keyInstallers();
        server_ = connectServer();
    }
    void TearDown() override { keyInstallers() = saved_; }

    // A storage for a key, locked again so that the server needs the key.
    ComPtr<IStorageFolder> lockedStorage(const Certificate& key, const std::wstring& name) {
        const std::wstring path = scratch_.file(name);
        createStorage(server_.Get(), path, keyCertificate(key));
        check(server_->LockStorage(bstr(path).get()));
        return openStorage(server_.Get(), path);
    }

    bool contentsServed(IStorageFolder* root) {
        ComPtr<IStorageEnum> items;
        return SUCCEEDED(root->EnumItems(&items));
    }

    static Certificate* first_;
    static Certificate* second_;
    ScratchFolder scratch_;
    ComPtr<IStorageServer> server_;
    KeyInstallers saved_;
};

Certificate* Unlock::first_ = nullptr;
Certificate* Unlock::second_ = nullptr;

TEST_F(Unlock, AnInstalledKeyOpensWithoutPromptAndSubFoldersTakeReferences) {
    ComPtr<IStorageFolder> root = lockedStorage(*first_, L"installed.demo-coffrex");
    ASSERT_FALSE(contentsServed(root.Get()));
    UiRobot robot;
    Site site(root, scratch_.file(L"installed.demo-coffrex"));
    EXPECT_TRUE(UnlockStorageKey(site));
    const GUID id = readStorageId(root.Get());
    EXPECT_EQ(1, KeyTable::instance().useCount(id));
    EXPECT_TRUE(site.holdsReference);
    EXPECT_TRUE(contentsServed(root.Get())) << "the server did not get the key";

    Site subFolder(root, site.storagePath(), false);
    EXPECT_TRUE(UnlockStorageKey(subFolder));
    EXPECT_TRUE(subFolder.holdsReference);
    EXPECT_EQ(2, KeyTable::instance().useCount(id));
    Site rootAgain(root, site.storagePath());
    EXPECT_TRUE(UnlockStorageKey(rootAgain));
    EXPECT_FALSE(rootAgain.holdsReference);
    EXPECT_EQ(2, KeyTable::instance().useCount(id));
    KeyTable::instance().releaseReference(id);
    EXPECT_EQ(1, KeyTable::instance().useCount(id));
    robot.verify();

    // The storage key is in memory only: not in the container, nor in any
    // file beside it.
    const std::vector<BYTE> key = *KeyTable::instance().find(id);
    ASSERT_EQ(32u, key.size());
    check(server_->CommitStorage(bstr(site.storagePath()).get()));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(scratch_.file(L"*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    int files = 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ++files;
            EXPECT_FALSE(contains(fileBytes(scratch_.file(found.cFileName)), key))
                << narrow(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_GE(files, 1);
}

TEST_F(Unlock, AnAttachedKeyIsOfferedAndInstalledOnYes) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"attached.demo-coffrex");
    std::vector<BYTE> pfx = fileBytes(keyFile(L"second"));
    writeTextProperty(root.Get(), StorageProperty_AttachedKey, toBase64(pfx));
    check(root->SetProperty(StorageProperty_Flags, Variant::number(kKeyAttached)->get()));

    int installs = 0;
    keyInstallers().installAttachedKey = [&](HWND, const std::wstring& path) {
        ++installs;
        EXPECT_EQ(scratch_.file(L"attached.demo-coffrex"), path);
        install(importedKey(L"second"));
        return true;
    };
    UiRobot robot;
    robot.expect(keyPrompt(kAttachedKeyQuestion)).answer(IDYES);
    Site site(root, scratch_.file(L"attached.demo-coffrex"));
    EXPECT_TRUE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_EQ(1, installs);
    EXPECT_TRUE(contentsServed(root.Get()));
    uninstall(*second_);
}

TEST_F(Unlock, DecliningTheAttachedKeyIsACancelledOperation) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"declined.demo-coffrex");
    check(root->SetProperty(StorageProperty_Flags, Variant::number(kKeyAttached)->get()));
    keyInstallers().installAttachedKey = [](HWND, const std::wstring&) {
        ADD_FAILURE() << "installed although the user said No";
        return false;
    };
    UiRobot robot;
    robot.expect(keyPrompt(kAttachedKeyQuestion)).answer(IDNO);
    robot.expect(errorBox(HRESULT_FROM_WIN32(ERROR_CANCELLED))).answer(IDOK);
    Site site(root, scratch_.file(L"declined.demo-coffrex"));
    EXPECT_FALSE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_FALSE(site.holdsReference);
    EXPECT_FALSE(contentsServed(root.Get()));
}

TEST_F(Unlock, WithNeitherKeyTheSecondPromptDecides) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"nokey.demo-coffrex");
    Site site(root, scratch_.file(L"nokey.demo-coffrex"));
    {
        // No: the folder opens empty-handed, without any further box.
        UiRobot robot;
        robot.expect(keyPrompt(kMissingKeyQuestion)).answer(IDNO);
        EXPECT_TRUE(UnlockStorageKey(site));
        robot.verify();
    }
    // Yes with a key file that brings the key: the unlock runs again.
    int installs = 0;
    keyInstallers().installKeyFromFile = [&](HWND) {
        ++installs;
        install(importedKey(L"second"));
        return true;
    };
    UiRobot robot;
    robot.expect(keyPrompt(kMissingKeyQuestion)).answer(IDYES);
    EXPECT_TRUE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_EQ(1, installs);
    EXPECT_TRUE(contentsServed(root.Get()));
    uninstall(*second_);
}

// The storage's key properties copied into a storage kept in memory, where a
// test may damage them.
class Damaged : public Unlock {
protected:
    ComPtr<IStorageFolder> copyOf(IStorageFolder* real) {
        ComPtr<IStorageFolder> copy;
        copy.Attach(memory_.addStorage(scratch_.file(L"copy.demo-coffrex")));
        for (const GUID& property : {StorageProperty_Id, StorageProperty_KeyId,
                                     StorageProperty_KeyRecord, StorageProperty_KeyState}) {
            Variant value;
            check(real->GetProperty(property, value.put()));
            check(copy->SetProperty(property, value.get()));
        }
        return copy;
    }

    // Unlocks, expecting the error box for hr and no entry in the table.
    void expectFailure(IStorageFolder* root, HRESULT hr) {
        UiRobot robot;
        robot.expect(errorBox(hr)).answer(IDOK);
        Site site(root, scratch_.file(L"copy.demo-coffrex"));
        EXPECT_FALSE(UnlockStorageKey(site));
        robot.verify();
        EXPECT_EQ(-1, KeyTable::instance().useCount(readStorageId(root)));
    }

    cfx::test::MemoryCatalog memory_;
};

TEST_F(Damaged, ADamagedKeyRecordIsAnError) {
    ComPtr<IStorageFolder> copy = copyOf(lockedStorage(*first_, L"record.demo-coffrex").Get());
    std::vector<BYTE> record = readBytesProperty(copy.Get(), StorageProperty_KeyRecord);
    record[record.size() / 2] ^= 0x55;
    writeTextProperty(copy.Get(), StorageProperty_KeyRecord, toBase64(record));
    {
        UiRobot robot;
        robot.expect(Box().caption(L"Coffrex").icon(Icon::Error)).answer(IDOK);
        Site site(copy, scratch_.file(L"copy.demo-coffrex"));
        EXPECT_FALSE(UnlockStorageKey(site));
    }

    // Text that is not Base64 at all.
    writeTextProperty(copy.Get(), StorageProperty_KeyRecord, L"A");
    expectFailure(copy.Get(), E_UNEXPECTED);
}

TEST_F(Damaged, AShortOrMalformedKeyStateIsUnexpected) {
    ComPtr<IStorageFolder> copy = copyOf(lockedStorage(*first_, L"state.demo-coffrex").Get());
    writeTextProperty(copy.Get(), StorageProperty_KeyState, toBase64({1, 2, 3, 4, 5, 6, 7, 8}));
    expectFailure(copy.Get(), E_UNEXPECTED);
    writeTextProperty(copy.Get(), StorageProperty_KeyState, L"@@@B");
    expectFailure(copy.Get(), E_UNEXPECTED);
}

TEST_F(Damaged, AKeyStateNamingAnotherKeyDecryptsNothing) {
    install(*second_);
    ComPtr<IStorageFolder> copy = copyOf(lockedStorage(*first_, L"foreign.demo-coffrex").Get());
    // The request names the second certificate as the protecting one.
    std::vector<BYTE> state = readBytesProperty(copy.Get(), StorageProperty_KeyState);
    const std::vector<BYTE> secondId = GetKeyIdentifier(second_->get());
    const size_t idLength = state[6] | static_cast<size_t>(state[7]) << 8;
    ASSERT_EQ(secondId.size(), idLength);
    std::copy(secondId.begin(), secondId.end(), state.begin() + 16);
    writeTextProperty(copy.Get(), StorageProperty_KeyState, toBase64(state));
    UiRobot robot;
    robot.expect(Box().caption(L"Coffrex").icon(Icon::Error)).answer(IDOK);
    Site site(copy, scratch_.file(L"copy.demo-coffrex"));
    EXPECT_FALSE(UnlockStorageKey(site));
    robot.verify();
    uninstall(*second_);
}

// A window of the test's thread that starts an unlock when a message comes,
// as a prompt's message loop would dispatch it.
struct NestedUnlock {
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_APP) {
            auto* self = reinterpret_cast<NestedUnlock*>(lparam);
            self->result = UnlockStorageKey(*self->site) ? 1 : 0;
            return 0;
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }
    UnlockSite* site = nullptr;
    int result = -1;
};

TEST_F(Unlock, AnUnlockStartedWhileOneRunsReturnsFalseWithoutABox) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"nested.demo-coffrex");
    check(root->SetProperty(StorageProperty_Flags, Variant::number(kKeyAttached)->get()));
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = NestedUnlock::proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"NestedUnlockTest";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"NestedUnlockTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, window);

    Site site(root, scratch_.file(L"nested.demo-coffrex"));
    NestedUnlock nested;
    nested.site = &site;
    // Dispatched by the first prompt's message loop.
    PostMessageW(window, WM_APP, 0, reinterpret_cast<LPARAM>(&nested));
    UiRobot robot;
    robot
        .expect(keyPrompt(kAttachedKeyQuestion).where([&](const cfx::test::BoxRecord&) {
            return true;
        }))
        .answer(IDNO);
    robot.expect(errorBox(HRESULT_FROM_WIN32(ERROR_CANCELLED))).answer(IDOK);
    EXPECT_FALSE(UnlockStorageKey(site));
    robot.verify();
    EXPECT_EQ(0, nested.result) << "the nested unlock did not run or did not return false";
    DestroyWindow(window);
}

} // namespace
} // namespace cfx::store::test
