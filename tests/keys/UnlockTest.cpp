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
#include "common/ComObjectBase.h"
#include "support/UiRobot.h"

#include <algorithm>
#include <functional>
#include <map>

namespace cfx::store::test {
namespace {

using namespace cfx::server;

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

TEST_F(Unlock, ADeletedCertificateIsNoLongerFound) {
    ComPtr<IStorageFolder> root = lockedStorage(*second_, L"deleted.demo-coffrex");
    install(*second_);
    Certificate found = FindInstalledKey(root.Get());
    ASSERT_TRUE(found);
    EXPECT_EQ(GetKeyIdentifier(found.get()), GetKeyIdentifier(second_->get()));
    DeleteInstalledCertificate(found);
    EXPECT_FALSE(FindInstalledKey(root.Get()));
}

// A real storage folder whose key properties a test damages: GetProperty
// answers the values set here, every other call goes to the real folder.
class DamagedFolder : public ComObject<IStorageFolder> {
public:
    explicit DamagedFolder(ComPtr<IStorageFolder> real) : real_(std::move(real)) {}
    void set(const GUID& property, const _variant_t& value) { damaged_[property] = value; }

    STDMETHODIMP GetType(LONG* type) override { return real_->GetType(type); }
    STDMETHODIMP GetName(BSTR* name) override { return real_->GetName(name); }
    STDMETHODIMP GetTimes(::ItemTimes* times) override { return real_->GetTimes(times); }
    STDMETHODIMP GetSize(ULONGLONG* size) override { return real_->GetSize(size); }
    STDMETHODIMP GetPath(BSTR* path) override { return real_->GetPath(path); }
    STDMETHODIMP GetProperty(GUID id, VARIANT* value) override {
        auto found = damaged_.find(id);
        if (found == damaged_.end())
            return real_->GetProperty(id, value);
        VariantInit(value);
        return VariantCopy(value, &found->second);
    }
    STDMETHODIMP SetProperty(GUID id, VARIANT value) override {
        return real_->SetProperty(id, value);
    }
    STDMETHODIMP RemoveProperty(GUID id) override { return real_->RemoveProperty(id); }
    STDMETHODIMP ListProperties(ULONG* count, GUID** ids) override {
        return real_->ListProperties(count, ids);
    }
    STDMETHODIMP EnumItems(IStorageEnum** items) override { return real_->EnumItems(items); }
    STDMETHODIMP OpenFolder(BSTR name, VARIANT_BOOL create, IStorageFolder** folder) override {
        return real_->OpenFolder(name, create, folder);
    }
    STDMETHODIMP OpenFile(BSTR name, VARIANT_BOOL create, IStorageFile** file) override {
        return real_->OpenFile(name, create, file);
    }
    STDMETHODIMP RenameItem(BSTR from, BSTR to) override { return real_->RenameItem(from, to); }
    STDMETHODIMP DeleteItem(BSTR name) override { return real_->DeleteItem(name); }
    STDMETHODIMP GetItem(BSTR name, IStorageObject** item) override {
        return real_->GetItem(name, item);
    }
    STDMETHODIMP GetItemInfo(BSTR name, IStorageItem** item) override {
        return real_->GetItemInfo(name, item);
    }

private:
    ComPtr<IStorageFolder> real_;
    std::map<GUID, _variant_t, GuidLess> damaged_;
};

class Damaged : public Unlock {
protected:
    ComPtr<IStorageFolder> damage(const GUID& property, const _variant_t& value) {
        if (!copy_) {
            const std::wstring name = L"damaged" + std::to_wstring(++made_) + L".demo-coffrex";
            copy_.Attach(new DamagedFolder(lockedStorage(*first_, name)));
        }
        static_cast<DamagedFolder*>(copy_.Get())->set(property, value);
        return copy_;
    }


    ComPtr<IStorageFolder> copy_;
    int made_ = 0;
};

// Each damage ends in the error box (with the HRESULT's text when one is
// given) and leaves nothing in the key table.
TEST_F(Damaged, DamagedKeyPropertiesAreErrors) {
    install(*second_);
    auto bytesOf = [this](const GUID& property) {
        return readBytesProperty(damage(StorageProperty_Comment, _variant_t()).Get(), property);
    };
    const struct {
        const char* name;
        GUID property;
        std::function<_variant_t()> value;
        HRESULT shown; // S_OK: any error text
    } cases[] = {
        {"record with a changed byte", StorageProperty_KeyRecord,
         [&] {
             std::vector<BYTE> record = bytesOf(StorageProperty_KeyRecord);
             record[record.size() / 2] ^= 0x55;
             return _variant_t(toBase64(record).c_str());
         },
         S_OK},
        {"record that is no Base64", StorageProperty_KeyRecord, [] { return _variant_t(L"A"); },
         E_UNEXPECTED},
        {"short state", StorageProperty_KeyState,
         [] { return _variant_t(toBase64({1, 2, 3, 4, 5, 6, 7, 8}).c_str()); }, E_UNEXPECTED},
        {"state that is no Base64", StorageProperty_KeyState, [] { return _variant_t(L"@@@B"); },
         E_UNEXPECTED},
        {"state naming another key", StorageProperty_KeyState,
         [&] {
             std::vector<BYTE> state = bytesOf(StorageProperty_KeyState);
             const std::vector<BYTE> secondId = GetKeyIdentifier(second_->get());
             EXPECT_EQ(secondId.size(), state[6] | static_cast<size_t>(state[7]) << 8);
             std::copy(secondId.begin(), secondId.end(), state.begin() + 16);
             return _variant_t(toBase64(state).c_str());
         },
         S_OK},
        {"key id of another type", StorageProperty_KeyId, [] { return _variant_t(1L); },
         E_UNEXPECTED},
        {"key id that is no Base64", StorageProperty_KeyId, [] { return _variant_t(L"QUJDR"); },
         E_UNEXPECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        copy_.Reset();
        ComPtr<IStorageFolder> root = damage(c.property, c.value());
        UiRobot robot;
        Box box = c.shown == S_OK ? Box().caption(L"Coffrex").icon(Icon::Error) : errorBox(c.shown);
        robot.expect(box).answer(IDOK);
        Site site(root, scratch_.file(L"damaged.demo-coffrex"));
        EXPECT_FALSE(UnlockStorageKey(site));
        robot.verify();
        EXPECT_EQ(-1, KeyTable::instance().useCount(readStorageId(root.Get())));
    }
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
