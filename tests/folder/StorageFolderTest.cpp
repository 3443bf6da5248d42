// The storage folder driven the way the shell drives it - class factory,
// IPersistFolder, IShellFolder2 - over one storage of the real storage server:
// listings, nested folders, columns, sorting, attributes, display names,
// parsing, icons, the background menu and renaming, then bad input.
#include "folder/FolderTestSupport.h"

#include "server/ErrorReport.h"
#include "server/StoragePointer.h"
#include "server/StorageThread.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

namespace cfx::foldertest {
namespace {

using cfx::server::errorText;
using namespace cfx::server;

using cfx::test::Box;
using cfx::test::hrIs;
using cfx::test::Icon;
using cfx::test::UiRobot;
using namespace cfx::store::test;

const std::wstring kUnicodeFolder = L"\u00c4rger \u65e5\u672c \u05e9\u05dc\u05d5\u05dd";
const std::wstring kLongName = std::wstring(240, L'L') + L".txt";
// Wine's own name for ".txt" files.
const std::wstring kTextType = L"Text Document";
const std::wstring kLongComment = std::wstring(90, L'c') + L"0123456789" + std::wstring(50, L'z');

struct FileRow {
    std::wstring folder; // "" for the root
    std::wstring name;
    size_t size;
    std::wstring comment;
};
// The storage every test of this file browses.
const FileRow kFiles[] = {
    {L"", L"readme.txt", 1025, L"First line\r\nsecond line"},
    {L"", L"data.xyz", 0, L""},
    {L"", L"NoExtension", 1024, L""},
    {L"", L"apple.cfxtest", 2048, kLongComment},
    {L"", L"Banana.cfxtest", 1, L"banana"},
    {L"", kLongName, 3, L""},
    {L"Documents\\Reports\\2024", L"summary.txt", 10, L""},
};

class StorageFolderTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchFolder;
        path_ = scratch_->file(L"browse.demo-coffrex");
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path_);
        const std::vector<BYTE> key = storageKeyOf(root.Get());
        store::test::folder(store::test::folder(store::test::folder(root.Get(), L"Documents", true).Get(), L"Reports", true).Get(),
               L"2024", true);
        store::test::folder(root.Get(), kUnicodeFolder, true);
        for (const FileRow& row : kFiles) {
            ComPtr<IStorageFolder> parent = root;
            for (const wchar_t* at = row.folder.c_str(); *at;) {
                const wchar_t* end = std::wcschr(at, L'\\');
                const std::wstring name = end ? std::wstring(at, end) : std::wstring(at);
                parent = store::test::folder(parent.Get(), name, false);
                at = end ? end + 1 : at + name.size();
            }
            ComPtr<IStorageFile> made = file(parent.Get(), row.name, true);
            writeFile(made.Get(), std::vector<BYTE>(row.size, 0x5A));
            if (!row.comment.empty())
                writeComment(made.Get(), key, row.comment);
        }
        // The library must unlock it itself.
        check(server->LockStorage(bstr(path_).get()));
        // Types of the test's own, so that type names and icons come from the registry.
        const std::pair<const wchar_t*, const wchar_t*> classes[] = {
            {L".cfxtest", L"cfxtestfile"},
            {L"cfxtestfile", L"Storage Test Sheet"},
            {L"cfxtestfile\\DefaultIcon", L"shell32.dll,-8"},
            {L".txt", L"txtfile"},
            {L"txtfile", kTextType.c_str()}};
        for (const auto& [name, value] : classes)
            SHSetValueW(HKEY_CLASSES_ROOT, name, nullptr, REG_SZ, value,
                        DWORD(sizeof(wchar_t) * (std::wcslen(value) + 1)));
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
        return childNamed(folder_.Get(), children_, name);
    }
    static ItemIdList currentFolder(IShellFolder2* folder) {
        ComPtr<IPersistFolder2> persist;
        PIDLIST_ABSOLUTE list = nullptr;
        EXPECT_EQ(S_OK, folder->QueryInterface(IID_PPV_ARGS(&persist)));
        EXPECT_EQ(S_OK, persist->GetCurFolder(&list));
        return ItemIdList(list);
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

TEST_F(StorageFolderTest, ListsFoldersAndFilesAsFlagsAsk) {
    const std::set<std::wstring> folders{L"Documents", kUnicodeFolder};
    const std::set<std::wstring> files{L"readme.txt",    L"data.xyz",       L"NoExtension",
                                       L"apple.cfxtest", L"Banana.cfxtest", kLongName};
    std::set<std::wstring> both = folders;
    both.insert(files.begin(), files.end());
    const struct {
        SHCONTF flags;
        std::set<std::wstring> names;
    } cases[] = {{SHCONTF_FOLDERS, folders},
                 {SHCONTF_NONFOLDERS, files},
                 {SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN, both}};
    for (const auto& c : cases) {
        const std::vector<std::wstring> names =
            namesOf(folder_.Get(), listChildren(folder_.Get(), c.flags));
        EXPECT_EQ(c.names, std::set<std::wstring>(names.begin(), names.end())) << c.flags;
    }
    IEnumIDList* none = reinterpret_cast<IEnumIDList*>(1);
    EXPECT_EQ(S_FALSE, folder_->EnumObjects(nullptr, SHCONTF_INCLUDEHIDDEN, &none));
    EXPECT_EQ(nullptr, none);
}

TEST_F(StorageFolderTest, TheEnumeratorWalksItsSnapshot) {
    ComPtr<IEnumIDList> items;
    ASSERT_EQ(S_OK, folder_->EnumObjects(nullptr, SHCONTF_FOLDERS, &items)); // two folders
    LPITEMIDLIST got[5] = {};
    ULONG fetched = 9;
    EXPECT_EQ(E_INVALIDARG, items->Next(2, got, nullptr));
    EXPECT_EQ(S_OK, items->Next(1, got, nullptr));
    const std::wstring first = displayName(folder_.Get(), got[0], SHGDN_NORMAL);
    ComPtr<IEnumIDList> clone;
    ASSERT_EQ(S_OK, items->Clone(&clone));
    EXPECT_EQ(S_FALSE, items->Next(5, got + 1, &fetched));
    EXPECT_EQ(1u, fetched);
    EXPECT_EQ(S_FALSE, items->Next(1, got + 2, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_OK, items->Skip(10));
    EXPECT_EQ(S_OK, items->Reset());
    EXPECT_EQ(S_OK, clone->Next(1, got + 2, nullptr));
    EXPECT_EQ(first, displayName(folder_.Get(), got[2], SHGDN_NORMAL)) << "a clone starts over";
    for (LPITEMIDLIST id : got)
        CoTaskMemFree(id);
}

TEST_F(StorageFolderTest, BindsToNestedFoldersAndNamesTheirItemsByFullPath) {
    ComPtr<IShellFolder2> documents;
    ASSERT_EQ(S_OK, folder_->BindToObject(child(L"Documents"), nullptr, IID_PPV_ARGS(&documents)));
    PIDLIST_RELATIVE twoLevels = nullptr;
    ULONG attributes = SFGAO_FOLDER;
    ASSERT_EQ(S_OK,
              documents->ParseDisplayName(nullptr, nullptr, const_cast<wchar_t*>(L"Reports\\2024"),
                                          nullptr, &twoLevels, &attributes));
    ItemIdList held(twoLevels);
    EXPECT_EQ(ULONG(SFGAO_FOLDER), attributes);
    ComPtr<IShellFolder2> year;
    ASSERT_EQ(S_OK, documents->BindToObject(twoLevels, nullptr, IID_PPV_ARGS(&year)));
    std::vector<ItemIdList> items = listChildren(year.Get());
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(path_ + L"\\Documents\\Reports\\2024\\summary.txt",
              displayName(year.Get(), items[0].get(), SHGDN_FORPARSING));
    // Each level's own list is its parent's with the child's identifiers behind it.
    ItemIdList documentsList = currentFolder(documents.Get()), own = currentFolder(year.Get());
    ItemIdList above(ILCombine(documentsList.get(), twoLevels));
    ASSERT_EQ(ILGetSize(above.get()), ILGetSize(own.get()));
    EXPECT_EQ(0, std::memcmp(above.get(), own.get(), ILGetSize(own.get())));
    ComPtr<IStream> stream;
    EXPECT_EQ(E_NOINTERFACE,
              folder_->BindToObject(child(L"Documents"), nullptr, IID_PPV_ARGS(&stream)));
}

TEST_F(StorageFolderTest, ColumnsShowNameSizeTypeAndComment) {
    const struct {
        const char* title;
        int width;
    } headers[] = {{"Name", 40}, {"Size", 10}, {"Type", 20}, {"Comment", 40}};
    for (UINT column = 0; column < 4; ++column) {
        SHELLDETAILS details{};
        ASSERT_EQ(S_OK, folder_->GetDetailsOf(nullptr, column, &details));
        EXPECT_EQ(UINT(STRRET_CSTR), details.str.uType);
        EXPECT_STREQ(headers[column].title, details.str.cStr);
        EXPECT_EQ(headers[column].width, details.cxChar);
        EXPECT_EQ(LVCFMT_LEFT, details.fmt);
    }
    SHELLDETAILS beyond{};
    EXPECT_EQ(E_FAIL, folder_->GetDetailsOf(nullptr, 4, &beyond));

    const std::wstring folderType = cell(folder_.Get(), child(L"Documents"), 2);
    EXPECT_FALSE(folderType.empty());
    const struct {
        std::wstring name, size, type, comment;
    } rows[] = {
        {L"readme.txt", L"2 Kb", kTextType, L"First line  second line"},
        {L"data.xyz", L"0 Kb", L"XYZ File", L""},
        {L"NoExtension", L"1 Kb", L"File", L""},
        {L"apple.cfxtest", L"3 Kb", L"Storage Test Sheet", kLongComment.substr(0, 97) + L"..."},
        {L"Banana.cfxtest", L"1 Kb", L"Storage Test Sheet", L"banana"},
        {kUnicodeFolder, L"", folderType, L""},
    };
    for (const auto& row : rows) {
        LPCITEMIDLIST item = child(row.name);
        EXPECT_EQ(row.name, cell(folder_.Get(), item, 0));
        EXPECT_EQ(row.size, cell(folder_.Get(), item, 1)) << narrow(row.name);
        EXPECT_EQ(row.type, cell(folder_.Get(), item, 2)) << narrow(row.name);
        EXPECT_EQ(row.comment, cell(folder_.Get(), item, 3)) << narrow(row.name);
    }
    // Sizes the view shows from the identifier alone.
    const std::pair<ULONGLONG, const wchar_t*> sizes[] = {{0, L"0 Kb"},
                                                          {1, L"1 Kb"},
                                                          {1024, L"1 Kb"},
                                                          {1025, L"2 Kb"},
                                                          {2048, L"3 Kb"},
                                                          {1 << 20, L"1025 Kb"},
                                                          {4294967296ull, L"4194305 Kb"}};
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(text, cell(folder_.Get(), asList(craftedId(L"x.bin", 2, bytes)), 1)) << bytes;
}

TEST_F(StorageFolderTest, SortsFoldersFirstByEveryColumn) {
    // The order a view shows: by the column, ties by name.
    auto sorted = [&](LPARAM column) {
        std::vector<LPCITEMIDLIST> items;
        for (const ItemIdList& item : children_)
            items.push_back(item.get());
        auto order = [&](LPARAM by, LPCITEMIDLIST a, LPCITEMIDLIST b) {
            return static_cast<short>(HRESULT_CODE(folder_->CompareIDs(by, a, b)));
        };
        std::sort(items.begin(), items.end(), [&](LPCITEMIDLIST a, LPCITEMIDLIST b) {
            const short first = order(column, a, b);
            return first != 0 ? first < 0 : order(0, a, b) < 0;
        });
        std::vector<std::wstring> names;
        for (LPCITEMIDLIST item : items)
            names.push_back(cell(folder_.Get(), item, 0));
        return names;
    };
    auto foldersThen = [&](std::vector<std::wstring> files) {
        files.insert(files.begin(), {L"Documents", kUnicodeFolder});
        return files;
    };
    const auto byName = foldersThen({L"apple.cfxtest", L"Banana.cfxtest", L"data.xyz", kLongName,
                                     L"NoExtension", L"readme.txt"});
    EXPECT_EQ(byName, sorted(0));
    EXPECT_EQ(byName, sorted(LPARAM(SHCIDS_ALLFIELDS)));
    EXPECT_EQ(foldersThen({L"data.xyz", L"Banana.cfxtest", kLongName, L"NoExtension", L"readme.txt",
                           L"apple.cfxtest"}),
              sorted(1));
    EXPECT_EQ(foldersThen({L"NoExtension", L"apple.cfxtest", L"Banana.cfxtest", kLongName,
                           L"readme.txt", L"data.xyz"}),
              sorted(2));
    EXPECT_EQ(foldersThen({L"data.xyz", kLongName, L"NoExtension", L"Banana.cfxtest",
                           L"apple.cfxtest", L"readme.txt"}),
              sorted(3));
    EXPECT_EQ(E_INVALIDARG, folder_->CompareIDs(4, child(L"data.xyz"), child(L"readme.txt")));
    // Only A to Z fold: a equals A, an accented letter does not equal its capital.
    const auto a = craftedId(L"a", 2, 0), A = craftedId(L"A", 2, 0);
    const auto e = craftedId(L"\u00e9", 2, 0), E = craftedId(L"\u00c9", 2, 0);
    EXPECT_EQ(S_OK, folder_->CompareIDs(0, asList(a), asList(A)));
    EXPECT_NE(S_OK, folder_->CompareIDs(0, asList(e), asList(E)));
}

TEST_F(StorageFolderTest, AttributesOfMixedSelections) {
    const struct {
        std::vector<std::wstring> items;
        SFGAOF attributes;
    } cases[] = {
        {{L"Documents"}, 0xA8000173},
        {{L"readme.txt"}, 0x73},
        {{L"Documents", kUnicodeFolder}, 0xA8000123},
        {{L"Documents", L"readme.txt"}, 0x23},
        {{L"readme.txt", L"data.xyz"}, 0x23},
    };
    for (const auto& c : cases) {
        std::vector<LPCITEMIDLIST> items;
        for (const std::wstring& name : c.items)
            items.push_back(child(name));
        SFGAOF attributes = 0xFFFFFFFF & ~SFGAO_VALIDATE;
        EXPECT_EQ(S_OK, folder_->GetAttributesOf(UINT(items.size()), items.data(), &attributes));
        EXPECT_EQ(c.attributes, attributes) << narrow(c.items.front()) << " +" << items.size() - 1;
    }
    // An item deleted meanwhile fails validation with the server's error.
    const auto gone = craftedId(L"deleted meanwhile.txt", 2, 0);
    LPCITEMIDLIST list = asList(gone);
    SFGAOF attributes = SFGAO_VALIDATE | SFGAO_CANCOPY;
    EXPECT_TRUE(FAILED(folder_->GetAttributesOf(1, &list, &attributes)));
    EXPECT_EQ(SFGAO_VALIDATE | SFGAO_CANCOPY, attributes);
}

TEST_F(StorageFolderTest, DisplayNamesHideExtensionsOfFilesOnlyWhenTheUserDoes) {
    const std::wstring inDocuments = path_ + L"\\Documents";
    const struct {
        const wchar_t* item;
        SHGDNF flags;
        bool hidden;
        std::wstring name;
    } cases[] = {
        {L"readme.txt", SHGDN_NORMAL, false, L"readme.txt"},
        {L"readme.txt", SHGDN_INFOLDER, true, L"readme"},
        {L"readme.txt", SHGDN_INFOLDER | SHGDN_FOREDITING, true, L"readme"},
        {L"readme.txt", SHGDN_FORPARSING, false, path_ + L"\\readme.txt"},
        {L"readme.txt", SHGDN_FORPARSING | SHGDN_FORADDRESSBAR, true, path_ + L"\\readme"},
        {L"NoExtension", SHGDN_INFOLDER, true, L"NoExtension"},
        {L"Documents", SHGDN_FORPARSING, true, inDocuments},
        {L"Documents", SHGDN_INFOLDER, false, L"Documents"},
    };
    for (const auto& c : cases) {
        hideExtensions(c.hidden);
        EXPECT_EQ(c.name, displayName(folder_.Get(), child(c.item), c.flags))
            << narrow(c.item) << " " << c.flags << (c.hidden ? " hidden" : "");
    }
}

TEST_F(StorageFolderTest, ParsesNamesLevelByLevel) {
    const struct {
        const wchar_t* name;
        HRESULT hr;
        UINT levels;
        ULONG attributes; // what is left of SFGAO_FOLDER | SFGAO_CANCOPY
    } cases[] = {
        {L"Documents\\Reports", S_OK, 2, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"\\Documents\\\\Reports\\2024\\summary.txt", S_OK, 4, SFGAO_CANCOPY},
        {L"readme.txt", S_OK, 1, SFGAO_CANCOPY},
        {L"\\", E_FAIL, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"", E_FAIL, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"readme.txt\\inside", STG_E_PATHNOTFOUND, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
        {L"missing", STG_E_FILENOTFOUND, 0, SFGAO_FOLDER | SFGAO_CANCOPY},
    };
    for (const auto& c : cases) {
        PIDLIST_RELATIVE parsed = reinterpret_cast<PIDLIST_RELATIVE>(1);
        ULONG eaten = 7, attributes = SFGAO_FOLDER | SFGAO_CANCOPY;
        EXPECT_TRUE(
            hrIs(c.hr, folder_->ParseDisplayName(nullptr, nullptr, const_cast<wchar_t*>(c.name),
                                                 &eaten, &parsed, &attributes)))
            << narrow(c.name);
        ItemIdList held(parsed);
        UINT levels = 0;
        for (LPCITEMIDLIST at = parsed; at && at->mkid.cb; at = ILGetNext(at))
            ++levels;
        EXPECT_EQ(c.levels, levels) << narrow(c.name);
        EXPECT_EQ(0u, eaten);
        EXPECT_EQ(c.attributes, attributes) << narrow(c.name);
    }
}

TEST_F(StorageFolderTest, ItemsShowTheShellsIconsForTheirTypes) {
    // What Wine's view draws: the system image list index of each item.
    auto shellIndex = [](const wchar_t* name, DWORD attributes) {
        SHFILEINFOW info{};
        SHGetFileInfoW(name, attributes, &info, sizeof info,
                       SHGFI_USEFILEATTRIBUTES | SHGFI_SYSICONINDEX | SHGFI_SMALLICON);
        return info.iIcon;
    };
    const int folderIcon = shellIndex(L"x", FILE_ATTRIBUTE_DIRECTORY);
    const int sheetIcon = shellIndex(L"x.cfxtest", FILE_ATTRIBUTE_NORMAL);
    const int documentIcon = shellIndex(L"x.xyz", FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(3u, std::set<int>({folderIcon, sheetIcon, documentIcon}).size());
    const std::pair<const wchar_t*, int> icons[] = {
        {L"Documents", folderIcon}, {L"apple.cfxtest", sheetIcon}, {L"data.xyz", documentIcon}};
    for (const auto& [name, index] : icons)
        EXPECT_EQ(index, SHMapPIDLToSystemImageListIndex(folder_.Get(), child(name), nullptr))
            << narrow(name);

    ComPtr<IExtractIconW> icon;
    LPCITEMIDLIST two[] = {child(L"Documents"), child(L"readme.txt")};
    EXPECT_EQ(E_FAIL, folder_->GetUIObjectOf(nullptr, 2, two, IID_IExtractIconW, nullptr, &icon));
    ComPtr<IDropTarget> target;
    EXPECT_EQ(S_OK, folder_->GetUIObjectOf(nullptr, 2, two, IID_IDropTarget, nullptr, &target));
    ComPtr<IContextMenu> menu;
    EXPECT_EQ(S_OK, folder_->GetUIObjectOf(nullptr, 2, two, IID_IContextMenu, nullptr, &menu));
}

TEST_F(StorageFolderTest, TheBackgroundMenuOffersNewFolder) {
    ComPtr<IContextMenu> menu;
    ASSERT_EQ(S_OK, folder_->CreateViewObject(nullptr, IID_PPV_ARGS(&menu)));
    HMENU popup = CreatePopupMenu();
    InsertMenuW(popup, 0, MF_BYPOSITION, 1, L"first");
    InsertMenuW(popup, 1, MF_BYPOSITION, 2, L"last");
    EXPECT_EQ(0, menu->QueryContextMenu(popup, 1, 100, 200, CMF_DEFAULTONLY));
    EXPECT_EQ(2, GetMenuItemCount(popup));
    EXPECT_EQ(1, menu->QueryContextMenu(popup, 1, 100, 200, CMF_NORMAL));
    wchar_t text[32] = L"";
    GetMenuStringW(popup, 1, text, 32, MF_BYPOSITION);
    EXPECT_STREQ(L"New Folder", text);
    EXPECT_EQ(100u, GetMenuItemID(popup, 1));
    DestroyMenu(popup);

    char verb[32] = "";
    wchar_t wide[32] = L"";
    EXPECT_EQ(S_OK, menu->GetCommandString(0, GCS_VERBA, nullptr, verb, 32));
    EXPECT_STREQ("cfx:new_folder", verb);
    EXPECT_EQ(S_OK,
              menu->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(wide), 32));
    EXPECT_STREQ(L"Create a new folder.", wide);
    EXPECT_EQ(E_OUTOFMEMORY, menu->GetCommandString(0, GCS_VERBA, nullptr, verb, 14));
    EXPECT_EQ(E_INVALIDARG, menu->GetCommandString(1, GCS_VERBA, nullptr, verb, 32));

    CMINVOKECOMMANDINFO info{sizeof info};
    info.lpVerb = "CFX:NEW_FOLDER";
    EXPECT_EQ(E_NOTIMPL, menu->InvokeCommand(&info));
    // The command itself arrives later: until then it fails as a command does.
    robot_.expect(errorBox(L"Unable to complete operation", E_NOTIMPL)).answer(IDOK);
    info.lpVerb = "cfx:new_folder";
    EXPECT_EQ(S_OK, menu->InvokeCommand(&info));
}

// The shell's change notifications under a list, as a view would receive them.
class NotificationLog {
public:
    explicit NotificationLog(LPCITEMIDLIST root) {
        WNDCLASSW type{};
        type.lpfnWndProc = &NotificationLog::procedure;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = L"cfx notification log";
        RegisterClassW(&type);
        window_ = CreateWindowW(type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                type.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SHChangeNotifyEntry entry{root, TRUE};
        id_ = SHChangeNotifyRegister(window_, SHCNRF_ShellLevel | SHCNRF_NewDelivery,
                                     SHCNE_ALLEVENTS, WM_APP, 1, &entry);
    }
    ~NotificationLog() {
        SHChangeNotifyDeregister(id_);
        DestroyWindow(window_);
    }
    // "event first-name second-name", one per notification, after the messages are in.
    std::vector<std::wstring> events() {
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&message);
        return events_;
    }

private:
    static std::wstring lastName(LPCITEMIDLIST list) {
        LPCITEMIDLIST last = list ? ILFindLastID(list) : nullptr;
        const auto* bytes = reinterpret_cast<const BYTE*>(last);
        const auto ours = craftedId(L"", 0, 0);
        if (!last || last->mkid.cb < 34 || std::memcmp(bytes + 2, ours.data() + 2, 16) != 0)
            return L"-";
        return reinterpret_cast<const wchar_t*>(bytes + 30);
    }
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* log = reinterpret_cast<NotificationLog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message != WM_APP || !log)
            return DefWindowProcW(window, message, wParam, lParam);
        PIDLIST_ABSOLUTE* lists = nullptr;
        LONG event = 0;
        HANDLE lock = SHChangeNotification_Lock(reinterpret_cast<HANDLE>(wParam),
                                                static_cast<DWORD>(lParam), &lists, &event);
        if (lock) {
            log->events_.push_back(std::to_wstring(event) + L" " + lastName(lists[0]) + L" " +
                                   lastName(lists[1]));
            SHChangeNotification_Unlock(lock);
        }
        return 0;
    }

    HWND window_ = nullptr;
    ULONG id_ = 0;
    std::vector<std::wstring> events_;
};

TEST_F(StorageFolderTest, RenamesWithAProgressDialogAndTellsTheShell) {
    ComPtr<IPersistFolder2> persist;
    PIDLIST_ABSOLUTE own = nullptr;
    ASSERT_EQ(S_OK, folder_.As(&persist));
    ASSERT_EQ(S_OK, persist->GetCurFolder(&own));
    ItemIdList ownList(own);
    NotificationLog log(ownList.get());

    auto renaming = [&](const wchar_t* from, const wchar_t* to) {
        return Box()
            .caption(L"Renaming...")
            .messageBox(false)
            .textContaining(std::wstring(L"Renaming '") + from + L"' to '" + to + L"'");
    };
    robot_.expect(renaming(L"data.xyz", L"renamed.xyz")).leaveOpen();
    PITEMID_CHILD renamed = nullptr;
    ASSERT_EQ(S_OK, folder_->SetNameOf(nullptr, child(L"data.xyz"), L"renamed.xyz", SHGDN_INFOLDER,
                                       &renamed));
    ItemIdList held(renamed);
    EXPECT_EQ(L"renamed.xyz", cell(folder_.Get(), renamed, 0));
    const std::vector<std::wstring> events = log.events();
    EXPECT_EQ(
        (std::vector<std::wstring>{std::to_wstring(SHCNE_RENAMEITEM) + L" data.xyz renamed.xyz",
                                   std::to_wstring(SHCNE_UPDATEDIR) + L" - -"}),
        events);

    // With extensions hidden the user edits "renamed": the extension stays.
    hideExtensions(true);
    robot_.expect(renaming(L"renamed.xyz", L"data.xyz")).leaveOpen();
    EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, renamed, L"data", SHGDN_FOREDITING, nullptr));
    robot_.expect(renaming(L"Documents", L"Documents")).leaveOpen();
    EXPECT_EQ(S_OK, folder_->SetNameOf(nullptr, child(L"Documents"), L"Documents", 0, nullptr));
    hideExtensions(false);

    // A name that exists and a name the server refuses: the error box, nothing changed.
    const std::vector<std::wstring> before = storageNames();
    for (const wchar_t* taken : {L"NoExtension", L"bad\\name", L""}) {
        robot_.expect(renaming(L"readme.txt", taken)).leaveOpen();
        robot_
            .expect(Box()
                        .caption(L"Coffrex")
                        .textContaining(L"Unable to rename selected item\n\n")
                        .icon(Icon::Error))
            .answer(IDOK);
        EXPECT_TRUE(FAILED(folder_->SetNameOf(nullptr, child(L"readme.txt"), taken, 0, nullptr)))
            << narrow(taken);
    }
    EXPECT_EQ(before, storageNames());
    EXPECT_EQ(E_INVALIDARG,
              folder_->SetNameOf(nullptr, child(L"readme.txt"), L"x", SHGDN_FORPARSING, nullptr));
}

TEST_F(StorageFolderTest, ForeignAndTruncatedIdentifiersAreRefusedEverywhere) {
    auto foreign = craftedId(L"readme.txt", 2, 1025);
    foreign[5] ^= 0x40; // one bit of the signature
    auto truncated = craftedId(L"readme.txt", 2, 1025);
    truncated.resize(22); // cut inside the signature
    truncated[0] = 20;
    truncated[20] = truncated[21] = 0;
    const std::vector<std::wstring> before = storageNames();
    for (const auto* bad : {&foreign, &truncated}) {
        LPCITEMIDLIST item = asList(*bad);
        const std::pair<const char*, std::function<HRESULT()>> calls[] = {
            {"BindToObject",
             [&] {
                 ComPtr<IShellFolder> f;
                 return folder_->BindToObject(item, nullptr, IID_PPV_ARGS(&f));
             }},
            {"CompareIDs", [&] { return folder_->CompareIDs(0, item, child(L"readme.txt")); }},
            {"CompareIDs 2", [&] { return folder_->CompareIDs(3, child(L"readme.txt"), item); }},
            {"GetAttributesOf",
             [&] {
                 SFGAOF a = SFGAO_VALIDATE;
                 return folder_->GetAttributesOf(1, &item, &a);
             }},
            {"GetUIObjectOf menu",
             [&] {
                 ComPtr<IContextMenu> m;
                 return folder_->GetUIObjectOf(nullptr, 1, &item, IID_IContextMenu, nullptr, &m);
             }},
            {"GetUIObjectOf icon",
             [&] {
                 ComPtr<IExtractIconW> i;
                 return folder_->GetUIObjectOf(nullptr, 1, &item, IID_IExtractIconW, nullptr, &i);
             }},
            {"GetDisplayNameOf",
             [&] {
                 STRRET s{};
                 return folder_->GetDisplayNameOf(item, SHGDN_FORPARSING, &s);
             }},
            {"GetDetailsOf",
             [&] {
                 SHELLDETAILS d{};
                 return folder_->GetDetailsOf(item, 3, &d);
             }},
            {"SetNameOf",
             [&] {
                 robot_.expect(errorBox(L"Unable to rename selected item", E_INVALIDARG))
                     .answer(IDOK);
                 return folder_->SetNameOf(nullptr, item, L"x.txt", 0, nullptr);
             }},
        };
        for (const auto& [name, call] : calls)
            EXPECT_TRUE(hrIs(E_INVALIDARG, call()))
                << name << (bad == &foreign ? " foreign" : " truncated");
    }
    EXPECT_EQ(before, storageNames());
}

TEST_F(StorageFolderTest, AFrozenStorageIsClosedToTheUser) {
    const std::wstring path = scratch_->file(L"frozen.demo-coffrex");
    ComPtr<IStorageServer> server = connectServer();
    createStorage(server.Get(), path);
    check(server->SetStorageFrozen(bstr(path).get(), 1));
    openFolder(path, E_ACCESSDENIED);
    check(server->SetStorageFrozen(bstr(path).get(), 0));
}

TEST_F(StorageFolderTest, ALockedStorageWithoutItsKeyPromptsTwice) {
    // A key file's certificate the current user does not have installed.
    const KeyCertificate missing = certificateOfKeyFile(L"second");
    ComPtr<IStorageServer> server = connectServer();
    const Box keyNotFound = Box()
                                .caption(L"Coffrex")
                                .icon(Icon::Warning)
                                .buttons({IDYES, IDNO})
                                .textContaining(L"An appropriate key was not found.");
    const Box attachedKey = Box()
                                .caption(L"Coffrex")
                                .icon(Icon::Warning)
                                .buttons({IDYES, IDNO})
                                .textContaining(L"but the storage has the key attached.");

    const std::wstring bare = scratch_->file(L"no key.demo-coffrex");
    createStorage(server.Get(), bare, missing);
    check(server->LockStorage(bstr(bare).get()));
    ComPtr<IShellFolder2> folder = openFolder(bare);
    robot_.expect(keyNotFound).answer(IDNO);
    ComPtr<IShellView> view;
    EXPECT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)))
        << "declining is no failure";
    view.Reset();
    IEnumIDList* items = nullptr;
    EXPECT_EQ(E_ACCESSDENIED, folder->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items));
    folder.Reset();

    const std::wstring attached = scratch_->file(L"attached.demo-coffrex");
    ComPtr<IStorageFolder> root = createStorage(server.Get(), attached, missing);
    check(root->SetProperty(StorageProperty_Flags, Variant(ULONGLONG(1)).get()));
    check(server->LockStorage(bstr(attached).get()));
    folder = openFolder(attached);
    robot_.expect(attachedKey).answer(IDNO);
    robot_
        .expect(Box()
                    .caption(L"Coffrex")
                    .icon(Icon::Error)
                    .text(L"An error has occured:\n\n" +
                          errorText(HRESULT_FROM_WIN32(ERROR_CANCELLED))))
        .answer(IDOK);
    EXPECT_EQ(E_NOINTERFACE, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
}

TEST_F(StorageFolderTest, ListsAThousandItems) {
    const std::wstring path = scratch_->file(L"many.demo-coffrex");
    {
        // Made in process by the server's engine: a thousand calls across
        // processes would cost more than the listing under test.
        auto storage = newContainer(path, store::Container::Options{false});
        store::Item root = storage->root();
        for (int i = 0; i < 1000; ++i)
            root.openFile(L"item " + std::to_wstring(i) + L".bin", true);
        storage->close();
    }
    ComPtr<IShellFolder2> many = unlockedFolder(path);
    const std::vector<std::wstring> names = namesOf(many.Get(), listChildren(many.Get()));
    ASSERT_EQ(1000u, names.size());
    EXPECT_EQ(1000u, std::set<std::wstring>(names.begin(), names.end()).size());
}

// The folder's server pointer, replaced: its creating thread must get the new
// object, not the proxy it unmarshalled for the old one.
TEST(StoragePointerTest, ResetHandsTheCreatingThreadTheNewObject) {
    ScratchFolder scratch;
    ComPtr<IStorageServer> server = connectServer();
    for (const wchar_t* name : {L"a", L"b"})
        file(createStorage(server.Get(), scratch.file(name)).Get(), name, true);
    startOrStopStorageThread(true);
    {
        StoragePointer pointer;
        for (const wchar_t* name : {L"a", L"b"}) {
            runOnStorageThread([&] {
                pointer.reset(openStorage(connectServer().Get(), scratch.file(name)).Get());
            });
            EXPECT_EQ(std::vector<std::wstring>{name},
                      listNames(pointer.folderForThisThread().Get()));
        }
        runOnStorageThread([&] { pointer.reset(nullptr); });
    }
    startOrStopStorageThread(false);
}

} // namespace
} // namespace cfx::foldertest
