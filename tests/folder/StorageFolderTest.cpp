// The storage folder driven the way the shell drives it - cfxview.dll's class
// factory, IPersistFolder, IShellFolder2 - on storages of the real storage
// server: listings, nested folders, columns, sorting, attributes, names,
// icons, menus and renaming; bad input and closed storages; and, each in a
// process of its own (FolderIsolated, see tests/CMakeLists.txt), a server not
// registered, a server killed and the library unloaded.
#include "KeyClient.h"
#include "common/ErrorObjectHook.h"
#include "common/Variant.h"
#include "folder/StorageItemId.h"
#include "idl/cfxview_classes.h"
#include "server/ErrorReport.h"
#include "server/StoragePointer.h"
#include "server/StorageThread.h"
#include "storeserver/RemoteStorage.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <set>

namespace cfx::foldertest {
namespace {

using cfx::folder::ItemIdList;
using cfx::test::Box;
using cfx::test::hrIs;
using cfx::test::Icon;
using cfx::test::UiRobot;
using Microsoft::WRL::ComPtr;
using namespace cfx::store::test;

cfx::test::LoadedLibrary& library() {
    static auto* loaded = new cfx::test::LoadedLibrary(L"cfxview.dll");
    return *loaded;
}

ComPtr<IShellFolder2> openFolder(const std::wstring& path, HRESULT expected = S_OK) {
    ComPtr<IClassFactory> factory;
    ComPtr<IShellFolder2> folder;
    ComPtr<IPersistFolder> persist;
    EXPECT_EQ(S_OK, library().getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
    EXPECT_EQ(S_OK, folder.As(&persist));
    ItemIdList file(ILCreateFromPathW(path.c_str()));
    EXPECT_TRUE(hrIs(expected, persist->Initialize(file.get())));
    return folder;
}

// As the shell does before it lists a folder: a view is asked for (the unlock).
ComPtr<IShellFolder2> unlockedFolder(const std::wstring& path) {
    ComPtr<IShellFolder2> folder = openFolder(path);
    ComPtr<IShellView> view;
    EXPECT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
    return folder;
}

std::vector<ItemIdList> listChildren(IShellFolder2* folder,
                                     SHCONTF flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS) {
    std::vector<ItemIdList> children;
    ComPtr<IEnumIDList> items;
    EXPECT_TRUE(SUCCEEDED(folder->EnumObjects(nullptr, flags, &items)));
    for (LPITEMIDLIST child = nullptr; items && items->Next(1, &child, nullptr) == S_OK;)
        children.emplace_back(child);
    return children;
}

// A display name or a cell as text; a failure as its code, "0x...".
std::wstring textOf(HRESULT hr, STRRET& value, LPCITEMIDLIST item) {
    wchar_t *text = nullptr, code[16];
    if (FAILED(hr) || FAILED(StrRetToStrW(&value, item, &text))) {
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        return code;
    }
    std::wstring result = text;
    CoTaskMemFree(text);
    return result;
}
std::wstring displayName(IShellFolder2* folder, LPCITEMIDLIST item, SHGDNF flags) {
    STRRET value{};
    return textOf(folder->GetDisplayNameOf(item, flags, &value), value, item);
}
std::wstring cell(IShellFolder2* folder, LPCITEMIDLIST item, UINT column) {
    SHELLDETAILS details{};
    return textOf(folder->GetDetailsOf(item, column, &details), details.str, item);
}
std::set<std::wstring> namesOf(IShellFolder2* folder, const std::vector<ItemIdList>& items) {
    std::set<std::wstring> names;
    for (const ItemIdList& item : items)
        names.insert(displayName(folder, item.get(), SHGDN_INFOLDER));
    return names;
}

// An identifier of the documented layout and the list's terminator, as the
// shell keeps one in shortcuts and view state.
std::vector<BYTE> craftedId(const std::wstring& name, DWORD kind, ULONGLONG size) {
    const BYTE signature[16] = {0x9E, 0x3A, 0x0C, 0x5D, 0xB4, 0x71, 0x28, 0x4F,
                                0x9C, 0x6A, 0xE3, 0xB7, 0xF1, 0x04, 0x2D, 0x95};
    const WORD cb = static_cast<WORD>(34 + 2 * name.size());
    std::vector<BYTE> bytes(cb + 2u, 0);
    std::memcpy(bytes.data(), &cb, 2);
    std::memcpy(bytes.data() + 2, signature, 16);
    std::memcpy(bytes.data() + 18, &kind, 4);
    std::memcpy(bytes.data() + 22, &size, 8);
    std::memcpy(bytes.data() + 30, name.data(), 2 * name.size());
    return bytes;
}
LPCITEMIDLIST asList(const std::vector<BYTE>& bytes) {
    return reinterpret_cast<LPCITEMIDLIST>(bytes.data());
}

// A comment as the Comment property holds it: RC4, written out here, under the
// storage key that the first test certificate's private key recovers.
void writeComment(IStorageObject* storage, IStorageObject* item, const std::wstring& text) {
    const std::wstring record = textProperty(storage, StorageProperty_KeyRecord);
    DWORD size = 0, spec = 0;
    CryptStringToBinaryW(record.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> bytes(size);
    CryptStringToBinaryW(record.c_str(), 0, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr,
                         nullptr);
    const KeyCertificate& certificate = firstCertificate();
    CRYPT_HASH_BLOB id{DWORD(certificate.keyId.size()),
                       const_cast<BYTE*>(certificate.keyId.data())};
    CertificateStore my(CertOpenSystemStoreW(0, L"MY"));
    Certificate found(CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_KEY_IDENTIFIER, &id, nullptr));
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE provider = 0;
    BOOL release = FALSE;
    HCRYPTKEY privateKey = 0;
    ASSERT_TRUE(
        CryptAcquireCertificatePrivateKey(found.get(), 0, nullptr, &provider, &spec, &release) &&
        CryptGetUserKey(provider, spec, &privateKey));
    const store::StorageKey key = store::decryptKeyRecord(privateKey, bytes);
    CryptDestroyKey(privateKey);
    if (release)
        CryptReleaseContext(provider, 0);
    BYTE s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<BYTE>(i);
    for (size_t i = 0, j = 0; i < 256; ++i)
        std::swap(s[i], s[j = (j + s[i] + key.data()[i % key.size()]) % 256]);
    bytes.resize(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    for (size_t n = 0, i = 0, j = 0; n < bytes.size(); ++n) {
        i = (i + 1) % 256;
        std::swap(s[i], s[j = (j + s[i]) % 256]);
        bytes[n] ^= s[(s[i] + s[j]) % 256];
    }
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    CryptBinaryToStringW(bytes.data(), DWORD(bytes.size()), flags, nullptr, &size);
    std::wstring base64(size, L'\0');
    CryptBinaryToStringW(bytes.data(), DWORD(bytes.size()), flags, base64.data(), &size);
    base64.resize(size);
    check(item->SetProperty(StorageProperty_Comment, Variant(base64).get()));
}

// "Hide extensions" set through the value SHGetSettings reports: Wine 8 reads
// HideFileExt the other way round from Windows.
void hideExtensions(bool hide) {
    for (DWORD value : {0u, 1u}) {
        SHRegSetUSValueW(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced",
                         L"HideFileExt", REG_DWORD, &value, sizeof value, SHREGSET_FORCE_HKCU);
        SHELLFLAGSTATE state{};
        SHGetSettings(&state, SSF_SHOWEXTENSIONS);
        if (!state.fShowExtensions == hide)
            return;
    }
    ADD_FAILURE() << "SHGetSettings does not follow HideFileExt";
}

Box errorBox(const std::wstring& prefix, HRESULT hr) {
    return Box()
        .caption(L"Coffrex")
        .icon(Icon::Error)
        .text((prefix.empty() ? L"An error has occured:" : prefix) + L"\n\n" +
              server::errorText(static_cast<DWORD>(hr)));
}

// The shell's change notifications under a list while the action runs, as
// "event first-name second-name", names of the library's identifiers or "-".
std::vector<std::wstring> notificationsDuring(LPCITEMIDLIST root,
                                              const std::function<void()>& action) {
    static std::vector<std::wstring> events;
    events.clear();
    HWND window =
        CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrW(
        window, GWLP_WNDPROC, LONG_PTR(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) {
            auto lastName = [](LPCITEMIDLIST list) -> std::wstring {
                const auto* last =
                    reinterpret_cast<const BYTE*>(list ? ILFindLastID(list) : nullptr);
                if (!last || last[0] < 34 ||
                    std::memcmp(last + 2, craftedId(L"", 0, 0).data() + 2, 16))
                    return L"-";
                return reinterpret_cast<const wchar_t*>(last + 30);
            };
            PIDLIST_ABSOLUTE* lists = nullptr;
            LONG event = 0;
            if (HANDLE lock = m == WM_APP
                                  ? SHChangeNotification_Lock(HANDLE(wp), DWORD(lp), &lists, &event)
                                  : nullptr) {
                events.push_back(std::to_wstring(event) + L" " + lastName(lists[0]) + L" " +
                                 (event == SHCNE_UPDATEDIR ? L"-" : lastName(lists[1])));
                SHChangeNotification_Unlock(lock);
            }
            return DefWindowProcW(w, m, wp, lp);
        }));
    SHChangeNotifyEntry entry{root, TRUE};
    const ULONG id = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_NewDelivery,
                                            SHCNE_ALLEVENTS, WM_APP, 1, &entry);
    action();
    for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
        DispatchMessageW(&message);
    SHChangeNotifyDeregister(id);
    DestroyWindow(window);
    return events;
}

const std::wstring kUnicode = L"\u00c4rger \u65e5\u672c \u05e9\u05dc\u05d5\u05dd";
const std::wstring kLong = std::wstring(240, L'L') + L".txt";
const std::wstring kLongComment = std::wstring(90, L'c') + L"0123456789" + std::wstring(50, L'z');
const struct {
    const wchar_t* folder; // a path below the root, or null
    std::wstring name;
    size_t size;
    std::wstring comment;
} kFiles[] = {
    {nullptr, L"readme.txt", 1025, L"First line\r\nsecond line"},
    {nullptr, L"data.xyz", 0, L""},
    {nullptr, L"NoExtension", 1024, L""},
    {nullptr, L"apple.cfxtest", 2048, kLongComment},
    {nullptr, L"Banana.cfxtest", 1, L"banana"},
    {nullptr, kLong, 3, L""},
    {L"Documents\\Reports\\2024", L"summary.txt", 10, L""},
};

class StorageFolderTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchFolder;
        path_ = scratch_->file(L"browse.demo-coffrex");
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path_);
        store::test::folder(root.Get(), L"Documents\\Reports\\2024", true);
        store::test::folder(root.Get(), kUnicode, true);
        for (const auto& row : kFiles) {
            ComPtr<IStorageFile> made = file(
                row.folder ? store::test::folder(root.Get(), row.folder, false).Get() : root.Get(),
                row.name, true);
            writeFile(made.Get(), std::vector<BYTE>(row.size, 0x5A));
            if (!row.comment.empty())
                writeComment(root.Get(), made.Get(), row.comment);
        }
        check(server->LockStorage(bstr(path_).get())); // the library must unlock it
        // Types of the test's own: type names and icons come from the registry.
        for (const auto& [key, value] : {std::pair{L".cfxtest", L"cfxtestfile"},
                                         {L"cfxtestfile", L"Storage Test Sheet"},
                                         {L"cfxtestfile\\DefaultIcon", L"shell32.dll,-8"},
                                         {L".txt", L"txtfile"},
                                         {L"txtfile", L"Text Document"}})
            SHSetValueW(HKEY_CLASSES_ROOT, key, nullptr, REG_SZ, value,
                        DWORD(2 * (std::wcslen(value) + 1)));
    }
    static void TearDownTestSuite() { delete scratch_; }

    void SetUp() override {
        hideExtensions(false);
        folder_ = unlockedFolder(path_);
        children_ = listChildren(folder_.Get());
    }
    void TearDown() override {
        children_.clear();
        folder_.Reset();
        robot_.verify();
        EXPECT_EQ(S_OK, library().canUnloadNow()) << "an object of the library is still alive";
    }

    LPCITEMIDLIST child(const std::wstring& name) {
        for (const ItemIdList& item : children_)
            if (cell(folder_.Get(), item.get(), 0) == name)
                return item.get();
        ADD_FAILURE() << "no child " << narrow(name);
        return nullptr;
    }
    std::vector<std::wstring> storageNames() {
        return listNames(openStorage(connectServer().Get(), path_).Get());
    }

    static ScratchFolder* scratch_;
    static std::wstring path_;
    UiRobot robot_;
    ComPtr<IShellFolder2> folder_;
    std::vector<ItemIdList> children_;
};

ScratchFolder* StorageFolderTest::scratch_ = nullptr;
std::wstring StorageFolderTest::path_;

TEST_F(StorageFolderTest, ListsWhatTheFlagsAskAndBindsToNestedFolders) {
    EXPECT_EQ((std::set<std::wstring>{L"Documents", kUnicode}),
              namesOf(folder_.Get(), listChildren(folder_.Get(), SHCONTF_FOLDERS)));
    EXPECT_EQ((std::set<std::wstring>{L"readme.txt", L"data.xyz", L"NoExtension", L"apple.cfxtest",
                                      L"Banana.cfxtest", kLong}),
              namesOf(folder_.Get(), listChildren(folder_.Get(), SHCONTF_NONFOLDERS)));
    EXPECT_EQ(8u, children_.size());
    IEnumIDList* none = nullptr;
    EXPECT_EQ(S_FALSE, folder_->EnumObjects(nullptr, SHCONTF_INCLUDEHIDDEN, &none));
    EXPECT_EQ(nullptr, none);

    ComPtr<IShellFolder2> documents, year;
    PIDLIST_RELATIVE twoLevels = nullptr;
    ASSERT_EQ(S_OK, folder_->BindToObject(child(L"Documents"), nullptr, IID_PPV_ARGS(&documents)));
    ASSERT_EQ(S_OK,
              documents->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(L"Reports\\2024"),
                                          nullptr, &twoLevels, nullptr));
    ItemIdList held(twoLevels);
    ASSERT_EQ(S_OK, documents->BindToObject(twoLevels, nullptr, IID_PPV_ARGS(&year)));
    std::vector<ItemIdList> inYear = listChildren(year.Get());
    ASSERT_EQ(1u, inYear.size());
    EXPECT_EQ(path_ + L"\\Documents\\Reports\\2024\\summary.txt",
              displayName(year.Get(), inYear[0].get(), SHGDN_FORPARSING));
    ComPtr<IStream> stream;
    EXPECT_EQ(E_NOINTERFACE,
              folder_->BindToObject(child(L"Documents"), nullptr, IID_PPV_ARGS(&stream)));
}

TEST_F(StorageFolderTest, ColumnsShowNameSizeTypeAndComment) {
    const std::pair<std::string, int> headers[] = {
        {"Name", 40}, {"Size", 10}, {"Type", 20}, {"Comment", 40}};
    for (UINT column = 0; column < 5; ++column) {
        SHELLDETAILS details{};
        ASSERT_EQ(column < 4 ? S_OK : E_FAIL, folder_->GetDetailsOf(nullptr, column, &details));
        if (column < 4) {
            EXPECT_EQ(UINT(STRRET_CSTR), details.str.uType);
            EXPECT_EQ(headers[column], std::pair(std::string(details.str.cStr), details.cxChar));
        }
    }
    const std::wstring folderType = cell(folder_.Get(), child(L"Documents"), 2);
    EXPECT_FALSE(folderType.empty() || folderType[0] == L'0');
    const std::wstring rows[][4] = {
        {L"readme.txt", L"2 Kb", L"Text Document", L"First line  second line"},
        {L"data.xyz", L"0 Kb", L"XYZ File", L""},
        {L"NoExtension", L"1 Kb", L"File", L""},
        {L"apple.cfxtest", L"3 Kb", L"Storage Test Sheet", kLongComment.substr(0, 97) + L"..."},
        {kUnicode, L"", folderType, L""},
    };
    for (const auto& row : rows)
        for (UINT column = 0; column < 4; ++column)
            EXPECT_EQ(row[column], cell(folder_.Get(), child(row[0]), column)) << narrow(row[0]);
    // Sizes the view shows from the identifier alone.
    const ULONGLONG sizes[] = {0, 1, 1024, 1025, 2048, 1 << 20, 4294967296ull};
    const wchar_t* texts[] = {L"0 Kb", L"1 Kb",    L"1 Kb",      L"2 Kb",
                              L"3 Kb", L"1025 Kb", L"4194305 Kb"};
    for (size_t i = 0; i < std::size(sizes); ++i)
        EXPECT_EQ(texts[i], cell(folder_.Get(), asList(craftedId(L"x.bin", 2, sizes[i])), 1));
}

TEST_F(StorageFolderTest, SortsFoldersFirstByEveryColumn) {
    auto order = [&](LPARAM by, LPCITEMIDLIST a, LPCITEMIDLIST b) {
        return static_cast<short>(HRESULT_CODE(folder_->CompareIDs(by, a, b)));
    };
    auto sorted = [&](LPARAM column) { // as a view shows it: by the column, ties by name
        std::vector<LPCITEMIDLIST> items;
        for (const ItemIdList& item : children_)
            items.push_back(item.get());
        std::sort(items.begin(), items.end(), [&](LPCITEMIDLIST a, LPCITEMIDLIST b) {
            return order(column, a, b) ? order(column, a, b) < 0 : order(0, a, b) < 0;
        });
        std::vector<std::wstring> names;
        for (LPCITEMIDLIST item : items)
            names.push_back(cell(folder_.Get(), item, 0));
        return names;
    };
    const std::vector<std::wstring> byName{L"Documents",      kUnicode,     L"apple.cfxtest",
                                           L"Banana.cfxtest", L"data.xyz",  kLong,
                                           L"NoExtension",    L"readme.txt"};
    auto reordered = [&](std::initializer_list<int> files) {
        std::vector<std::wstring> names(byName.begin(), byName.begin() + 2);
        for (int i : files)
            names.push_back(byName[size_t(i)]);
        return names;
    };
    EXPECT_EQ(byName, sorted(0));
    EXPECT_EQ(byName, sorted(LPARAM(SHCIDS_ALLFIELDS)));
    EXPECT_EQ(reordered({4, 3, 5, 6, 7, 2}), sorted(1));
    EXPECT_EQ(reordered({6, 2, 3, 5, 7, 4}), sorted(2));
    EXPECT_EQ(reordered({4, 5, 6, 3, 2, 7}), sorted(3));
    EXPECT_EQ(E_INVALIDARG, folder_->CompareIDs(4, child(L"data.xyz"), child(L"readme.txt")));
    // Only A to Z fold: a equals A, an accented letter does not equal its capital.
    EXPECT_EQ(0, order(0, asList(craftedId(L"a", 2, 0)), asList(craftedId(L"A", 2, 0))));
    EXPECT_NE(0, order(0, asList(craftedId(L"\u00e9", 2, 0)), asList(craftedId(L"\u00c9", 2, 0))));
}

TEST_F(StorageFolderTest, AttributesOfMixedSelections) {
    const std::pair<std::vector<std::wstring>, SFGAOF> cases[] = {
        {{L"Documents"}, 0xA8000173},
        {{L"readme.txt"}, 0x73},
        {{L"Documents", kUnicode}, 0xA8000123},
        {{L"Documents", L"readme.txt"}, 0x23},
        {{L"readme.txt", L"data.xyz"}, 0x23}};
    for (const auto& [names, expected] : cases) {
        std::vector<LPCITEMIDLIST> items;
        for (const std::wstring& name : names)
            items.push_back(child(name));
        SFGAOF attributes = ~SFGAO_VALIDATE;
        EXPECT_EQ(S_OK, folder_->GetAttributesOf(UINT(items.size()), items.data(), &attributes));
        EXPECT_EQ(expected, attributes) << narrow(names.back()) << " of " << names.size();
    }
    // An item deleted meanwhile fails validation and changes nothing.
    const auto gone = craftedId(L"deleted meanwhile.txt", 2, 0);
    LPCITEMIDLIST list = asList(gone);
    SFGAOF attributes = SFGAO_VALIDATE | SFGAO_CANCOPY;
    EXPECT_TRUE(FAILED(folder_->GetAttributesOf(1, &list, &attributes)));
    EXPECT_EQ(SFGAO_VALIDATE | SFGAO_CANCOPY, attributes);
}

TEST_F(StorageFolderTest, DisplayNamesHideExtensionsOfFilesAndNamesParseLevelByLevel) {
    const struct {
        const wchar_t* item;
        SHGDNF flags;
        bool hidden;
        std::wstring name;
    } names[] = {
        {L"readme.txt", SHGDN_NORMAL, false, L"readme.txt"},
        {L"readme.txt", SHGDN_INFOLDER | SHGDN_FOREDITING, true, L"readme"},
        {L"readme.txt", SHGDN_FORPARSING, false, path_ + L"\\readme.txt"},
        {L"readme.txt", SHGDN_FORPARSING | SHGDN_FORADDRESSBAR, true, path_ + L"\\readme"},
        {L"NoExtension", SHGDN_INFOLDER, true, L"NoExtension"},
        {L"Documents", SHGDN_FORPARSING, true, path_ + L"\\Documents"},
    };
    for (const auto& c : names) {
        hideExtensions(c.hidden);
        EXPECT_EQ(c.name, displayName(folder_.Get(), child(c.item), c.flags)) << c.flags;
    }
    const struct {
        const wchar_t* name;
        HRESULT hr;
        UINT levels;
        ULONG left; // of SFGAO_FOLDER | SFGAO_CANCOPY
    } parsed[] = {
        {L"Documents\\Reports", S_OK, 2, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"\\Documents\\\\Reports\\2024\\summary.txt", S_OK, 4, SFGAO_CANCOPY},
        {L"\\", E_FAIL, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"", E_FAIL, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"readme.txt\\inside", STG_E_PATHNOTFOUND, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"missing", STG_E_FILENOTFOUND, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
    };
    for (const auto& c : parsed) {
        PIDLIST_RELATIVE list = nullptr;
        ULONG eaten = 7, attributes = SFGAO_FOLDER | SFGAO_CANCOPY, levels = 0;
        EXPECT_TRUE(
            hrIs(c.hr, folder_->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(c.name),
                                                 &eaten, &list, &attributes)));
        ItemIdList held(list);
        for (LPCITEMIDLIST at = list; at && at->mkid.cb; at = ILGetNext(at))
            ++levels;
        EXPECT_EQ(c.levels, levels) << narrow(c.name);
        EXPECT_EQ(c.left, attributes) << narrow(c.name);
        EXPECT_EQ(0u, eaten);
    }
}

TEST_F(StorageFolderTest, ItemsShowTheShellsIconsAndMenus) {
    // What Wine's view draws: the system image list index of each item.
    auto shellIndex = [](const wchar_t* name, DWORD attributes) {
        SHFILEINFOW info{};
        SHGetFileInfoW(name, attributes, &info, sizeof info,
                       SHGFI_USEFILEATTRIBUTES | SHGFI_SYSICONINDEX | SHGFI_SMALLICON);
        return info.iIcon;
    };
    const std::pair<const wchar_t*, int> icons[] = {
        {L"Documents", shellIndex(L"x", FILE_ATTRIBUTE_DIRECTORY)},
        {L"apple.cfxtest", shellIndex(L"x.cfxtest", FILE_ATTRIBUTE_NORMAL)},
        {L"data.xyz", shellIndex(L"x.xyz", FILE_ATTRIBUTE_NORMAL)}};
    EXPECT_EQ(3u, std::set<int>({icons[0].second, icons[1].second, icons[2].second}).size());
    for (const auto& [name, index] : icons)
        EXPECT_EQ(index, SHMapPIDLToSystemImageListIndex(folder_.Get(), child(name), nullptr));
    LPCITEMIDLIST two[] = {child(L"Documents"), child(L"readme.txt")};
    ComPtr<IUnknown> object;
    EXPECT_EQ(E_FAIL, folder_->GetUIObjectOf(nullptr, 2, two, IID_IExtractIconW, nullptr, &object));
    EXPECT_EQ(S_OK, folder_->GetUIObjectOf(nullptr, 2, two, IID_IDropTarget, nullptr, &object));

    // The shell's item menu, then the view's background menu.
    HMENU popup = CreatePopupMenu();
    ComPtr<IContextMenu> items, background;
    ASSERT_EQ(S_OK, folder_->GetUIObjectOf(nullptr, 2, two, IID_IContextMenu, nullptr, &items));
    EXPECT_TRUE(SUCCEEDED(items->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_NORMAL)));
    ASSERT_EQ(S_OK, folder_->CreateViewObject(nullptr, IID_PPV_ARGS(&background)));
    EXPECT_EQ(0, background->QueryContextMenu(popup, 1, 100, 200, CMF_DEFAULTONLY));
    EXPECT_EQ(1, background->QueryContextMenu(popup, 1, 100, 200, CMF_NORMAL));
    wchar_t text[32] = L"";
    GetMenuStringW(popup, 100, text, 32, MF_BYCOMMAND);
    EXPECT_STREQ(L"New Folder", text);
    EXPECT_EQ(100u, GetMenuItemID(popup, 1));
    DestroyMenu(popup);
    char verb[32] = "";
    EXPECT_EQ(S_OK, background->GetCommandString(0, GCS_VERBA, nullptr, verb, 32));
    EXPECT_STREQ("cfx:new_folder", verb);
    EXPECT_EQ(E_OUTOFMEMORY, background->GetCommandString(0, GCS_VERBA, nullptr, verb, 14));
    EXPECT_EQ(E_INVALIDARG, background->GetCommandString(1, GCS_VERBA, nullptr, verb, 32));
    CMINVOKECOMMANDINFO info{sizeof info};
    info.lpVerb = "CFX:NEW_FOLDER";
    EXPECT_EQ(E_NOTIMPL, background->InvokeCommand(&info));
    // The command itself is the item commands' (tests/items).
}

TEST_F(StorageFolderTest, RenamesWithAProgressDialogAndTellsTheShell) {
    ComPtr<IPersistFolder2> persist;
    PIDLIST_ABSOLUTE own = nullptr;
    ASSERT_EQ(S_OK, folder_.As(&persist));
    ASSERT_EQ(S_OK, persist->GetCurFolder(&own));
    ItemIdList ownList(own);
    auto renaming = [](const std::wstring& from, const std::wstring& to) {
        return Box()
            .caption(L"Renaming...")
            .messageBox(false)
            .textContaining(L"Renaming '" + from + L"' to '" + to + L"'");
    };
    robot_.expect(renaming(L"data.xyz", L"renamed.xyz")).leaveOpen();
    PITEMID_CHILD renamed = nullptr;
    EXPECT_EQ(
        (std::vector<std::wstring>{std::to_wstring(SHCNE_RENAMEITEM) + L" data.xyz renamed.xyz",
                                   std::to_wstring(SHCNE_UPDATEDIR) + L" - -"}),
        notificationsDuring(ownList.get(), [&] {
            EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, child(L"data.xyz"), L"renamed.xyz",
                                               SHGDN_INFOLDER, &renamed));
        }));
    ItemIdList held(renamed);
    EXPECT_EQ(L"renamed.xyz", cell(folder_.Get(), renamed, 0));

    // With extensions hidden a file keeps its extension; a folder's name is whole.
    hideExtensions(true);
    robot_.expect(renaming(L"renamed.xyz", L"data.xyz")).leaveOpen();
    EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, renamed, L"data", SHGDN_FOREDITING, nullptr));
    robot_.expect(renaming(L"Documents", L"Documents")).leaveOpen();
    EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, child(L"Documents"), L"Documents", 0, nullptr));
    hideExtensions(false);

    // A name that exists and names the server refuses: the error box, nothing changed.
    const std::vector<std::wstring> before = storageNames();
    for (const wchar_t* taken : {L"NoExtension", L"bad\\name", L""}) {
        robot_.expect(renaming(L"readme.txt", taken)).leaveOpen();
        robot_.expect(Box().textContaining(L"Unable to rename selected item\n\n").icon(Icon::Error))
            .answer(IDOK);
        EXPECT_TRUE(FAILED(folder_->SetNameOf(nullptr, child(L"readme.txt"), taken, 0, nullptr)));
    }
    EXPECT_EQ(before, storageNames());
    EXPECT_EQ(E_INVALIDARG,
              folder_->SetNameOf(nullptr, child(L"readme.txt"), L"x", SHGDN_FORPARSING, nullptr));
}

TEST_F(StorageFolderTest, ForeignAndTruncatedIdentifiersAreRefusedEverywhere) {
    auto foreign = craftedId(L"readme.txt", 2, 1025), truncated = foreign;
    foreign[5] ^= 0x40;   // one bit of the signature
    truncated.resize(22); // cut inside the signature
    truncated[0] = 20;
    truncated[20] = truncated[21] = 0;
    const std::vector<std::wstring> before = storageNames();
    for (const auto* bad : {&foreign, &truncated}) {
        LPCITEMIDLIST item = asList(*bad);
        ComPtr<IUnknown> out;
        SFGAOF attributes = SFGAO_VALIDATE;
        STRRET name{};
        SHELLDETAILS details{};
        const std::function<HRESULT()> calls[] = {
            [&] { return folder_->BindToObject(item, nullptr, IID_IShellFolder, &out); },
            [&] { return folder_->CompareIDs(0, item, child(L"readme.txt")); },
            [&] { return folder_->CompareIDs(3, child(L"readme.txt"), item); },
            [&] { return folder_->GetAttributesOf(1, &item, &attributes); },
            [&] {
                return folder_->GetUIObjectOf(nullptr, 1, &item, IID_IContextMenu, nullptr, &out);
            },
            [&] {
                return folder_->GetUIObjectOf(nullptr, 1, &item, IID_IExtractIconW, nullptr, &out);
            },
            [&] { return folder_->GetDisplayNameOf(item, SHGDN_FORPARSING, &name); },
            [&] { return folder_->GetDetailsOf(item, 3, &details); },
            [&] {
                robot_.expect(errorBox(L"Unable to rename selected item", E_INVALIDARG))
                    .answer(IDOK);
                return folder_->SetNameOf(nullptr, item, L"x.txt", 0, nullptr);
            }};
        for (size_t i = 0; i < std::size(calls); ++i)
            EXPECT_TRUE(hrIs(E_INVALIDARG, calls[i]())) << "call " << i << " of " << bad->size();
    }
    EXPECT_EQ(before, storageNames());
}

TEST_F(StorageFolderTest, FrozenStoragesAndMissingKeysKeepTheStorageClosed) {
    ComPtr<IStorageServer> server = connectServer();
    const std::wstring frozen = scratch_->file(L"frozen.demo-coffrex");
    createStorage(server.Get(), frozen);
    check(server->SetStorageFrozen(bstr(frozen).get(), 1));
    openFolder(frozen, E_ACCESSDENIED); // and no box
    check(server->SetStorageFrozen(bstr(frozen).get(), 0));

    // A storage for a certificate the user does not have: the second prompt,
    // declined, lets an empty view come up; with a key attached, the first.
    std::vector<BYTE> pfx = fileBytes(cfx::test::programFolder() + L"testkeys\\second.pfx");
    CRYPT_DATA_BLOB blob{DWORD(pfx.size()), pfx.data()};
    CertificateStore imported(PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET));
    Certificate key(CertEnumCertificatesInStore(imported.get(), nullptr));
    ASSERT_TRUE(key);
    const KeyCertificate missing{
        {key.get()->pbCertEncoded, key.get()->pbCertEncoded + key.get()->cbCertEncoded}, {}};
    for (bool attached : {false, true}) {
        const std::wstring path = scratch_->file(attached ? L"attached.dc" : L"bare.dc");
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path, missing);
        if (attached)
            check(root->SetProperty(StorageProperty_Flags, Variant(1ull).get()));
        check(server->LockStorage(bstr(path).get()));
        ComPtr<IShellFolder2> folder = openFolder(path);
        robot_
            .expect(Box()
                        .caption(L"Coffrex")
                        .icon(Icon::Warning)
                        .buttons({IDYES, IDNO})
                        .textContaining(attached ? L"but the storage has the key attached."
                                                 : L"An appropriate key was not found."))
            .answer(IDNO);
        if (attached)
            robot_.expect(errorBox(L"", HRESULT_FROM_WIN32(ERROR_CANCELLED))).answer(IDOK);
        ComPtr<IShellView> view;
        EXPECT_EQ(attached ? E_NOINTERFACE : S_OK,
                  folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
        view.Reset();
        IEnumIDList* items = nullptr;
        EXPECT_EQ(E_ACCESSDENIED, folder->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items));
    }
}

TEST_F(StorageFolderTest, ListsAThousandItems) {
    const std::wstring path = scratch_->file(L"many.demo-coffrex");
    {
        // Made by the server's engine in process: a thousand calls across
        // processes would cost more than the listing under test.
        auto storage = newContainer(path, store::Container::Options{false});
        store::Item root = storage->root();
        for (int i = 0; i < 1000; ++i)
            root.openFile(L"item " + std::to_wstring(i) + L".bin", true);
        storage->close();
    }
    ComPtr<IShellFolder2> many = unlockedFolder(path);
    EXPECT_EQ(1000u, namesOf(many.Get(), listChildren(many.Get())).size());
}

// The folder's server pointer, replaced: its creating thread must get the new
// object, not the proxy it unmarshalled for the old one.
TEST(StoragePointerTest, ResetHandsTheCreatingThreadTheNewObject) {
    ScratchFolder scratch;
    for (const wchar_t* name : {L"a", L"b"})
        file(createStorage(connectServer().Get(), scratch.file(name)).Get(), name, true);
    server::startOrStopStorageThread(true);
    {
        server::StoragePointer pointer;
        for (const wchar_t* name : {L"a", L"b"}) {
            server::runOnStorageThread([&] {
                pointer.reset(openStorage(connectServer().Get(), scratch.file(name)).Get());
            });
            EXPECT_EQ(std::vector<std::wstring>{name},
                      listNames(pointer.folderForThisThread().Get()));
        }
        server::runOnStorageThread([&] { pointer.reset(nullptr); });
    }
    server::startOrStopStorageThread(false);
}

// --- Each in a process of its own ------------------------------------------------

const Box kServerNotFound =
    Box()
        .caption(L"Coffrex")
        .icon(Icon::Error)
        .text(L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the "
              L"computer. "
              L"If the same error will occur again then try to reinstall the program.");

std::wstring storageWithThreeItems(const ScratchFolder& scratch) {
    const std::wstring path = scratch.file(L"isolated.demo-coffrex");
    ComPtr<IStorageFolder> root = createStorage(connectServer().Get(), path);
    file(root.Get(), L"one.txt", true);
    file(root.Get(), L"two.txt", true);
    store::test::folder(root.Get(), L"sub", true);
    return path;
}

TEST(FolderIsolated, ServerNotRegistered) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"unserved.demo-coffrex");
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    runServerCommand(L"/UnregServer");
    UiRobot robot;
    robot.expect(kServerNotFound).answer(IDOK); // once
    openFolder(path, REGDB_E_CLASSNOTREG);
    robot.verify();
    EXPECT_EQ(S_OK, library().canUnloadNow());
}

TEST(FolderIsolated, ServerKilled) {
    ScratchFolder scratch;
    const std::wstring path = storageWithThreeItems(scratch);
    UiRobot robot;
    ComPtr<IShellFolder2> folder = unlockedFolder(path);
    std::vector<ItemIdList> children = listChildren(folder.Get());
    ASSERT_EQ(3u, children.size());
    KernelHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                    serverProcessOf(connectServer().Get())));
    ASSERT_TRUE(TerminateProcess(server.get(), 9));
    WaitForSingleObject(server.get(), 10000);

    // The shell's calls fail, the rename says so in its box, and nothing hangs.
    IEnumIDList* items = nullptr;
    EXPECT_TRUE(FAILED(folder->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items)));
    EXPECT_EQ(L"0x800706BA", cell(folder.Get(), children[0].get(), 3));
    robot.expect(Box().caption(L"Renaming...").messageBox(false)).leaveOpen();
    robot
        .expect(errorBox(L"Unable to rename selected item",
                         HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)))
        .answer(IDOK);
    EXPECT_TRUE(FAILED(folder->SetNameOf(nullptr, children[0].get(), L"x.txt", 0, nullptr)));
    ComPtr<IShellFolder> sub;
    EXPECT_TRUE(FAILED(folder->BindToObject(children[2].get(), nullptr, IID_PPV_ARGS(&sub))));
    children.clear();
    folder.Reset();
    robot.verify();
    EXPECT_EQ(S_OK, library().canUnloadNow());
}

TEST(FolderIsolated, Unload) {
    ScratchFolder scratch;
    const std::wstring path = storageWithThreeItems(scratch);
    auto threads = [] {
        size_t count = 0;
        KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        THREADENTRY32 entry{sizeof entry};
        for (BOOL more = Thread32First(snapshot.get(), &entry); more;
             more = Thread32Next(snapshot.get(), &entry))
            count += entry.th32OwnerProcessID == GetCurrentProcessId();
        return count;
    };
    UiRobot robot;
    // A folder that starts the storage thread but never reaches the server (a
    // list with no file behind it), then one that lists a storage.
    ItemIdList computer, file(ILCreateFromPathW(path.c_str()));
    ASSERT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, computer.put()));
    for (LPCITEMIDLIST list : {computer.get(), file.get()}) {
        HMODULE dll = LoadLibraryW((cfx::test::programFolder() + L"cfxview.dll").c_str());
        auto proc = [&](const char* name) {
            return reinterpret_cast<void*>(GetProcAddress(dll, name));
        };
        {
            ComPtr<IClassFactory> factory;
            ComPtr<IShellFolder2> folder;
            ComPtr<IShellView> view;
            ASSERT_EQ(S_OK, reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(proc(
                                "DllGetClassObject"))(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
            ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
            ComPtr<IPersistFolder> persist;
            ASSERT_EQ(S_OK, folder.As(&persist));
            if (list == computer.get())
                robot.expect(kServerNotFound).answer(IDOK);
            ASSERT_EQ(list == computer.get() ? E_FAIL : S_OK, persist->Initialize(list));
            if (list == file.get()) {
                ASSERT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
                EXPECT_EQ(3u, listChildren(folder.Get()).size());
            }
        }
        EXPECT_EQ(S_OK, reinterpret_cast<HRESULT(WINAPI*)()>(proc("DllCanUnloadNow"))());

        // The detach stops the storage thread under the loader lock. Once the
        // library has talked to the server under Wine, COM keeps its
        // error-object hook, and the library stays loaded.
        const size_t before = threads();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(FreeLibrary(dll));
        std::cout << "FreeLibrary took "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count()
                  << " ms\n";
        const bool stays = list == file.get() && runningUnderWine();
        EXPECT_EQ(stays, GetModuleHandleW(L"cfxview.dll") != nullptr);
        EXPECT_TRUE(stays || threads() < before) << "the storage thread lives on";
    }
    // The process goes on: COM calls across processes still pass the hook.
    EXPECT_EQ(3u, listNames(openStorage(connectServer().Get(), path).Get()).size());
    robot.verify();
}

} // namespace
} // namespace cfx::foldertest
