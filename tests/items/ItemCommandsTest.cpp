// The item commands driven the way the shell drives them: the storage
// folder's item menu (QueryContextMenu, GetCommandString, InvokeCommand with
// verbs and offsets) and its background menu, on storages of the real storage
// server, with the boxes and dialogs answered by the robot or by a user
// thread at the dialog; damage made behind the checksums by cfxtool.
#include "common/Variant.h"
#include "folder/StorageItemId.h"
#include "idl/cfxview_classes.h"
#include "server/ErrorReport.h"
#include "storeserver/RemoteStorage.h"
#include "storeserver/ToolProcess.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
#include "ui/WindowsXpRun.h"

#include <commctrl.h>
#include <prsht.h>
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace cfx::itemstest {
namespace {

using cfx::folder::ItemIdList;
using cfx::test::Box;
using cfx::test::Icon;
using cfx::test::UiRobot;
using Microsoft::WRL::ComPtr;
using namespace cfx::store::test;

cfx::test::LoadedLibrary& library() {
    static auto* loaded = new cfx::test::LoadedLibrary(L"cfxview.dll");
    return *loaded;
}

// The visible dialog with the caption; with none, the visible dialog of the
// calling thread (a Properties sheet, whose caption the system words).
HWND findDialog(const wchar_t* caption, DWORD thread) {
    HWND found = nullptr;
    if (caption)
        found = FindWindowW(L"#32770", caption);
    else
        EnumThreadWindows(
            thread,
            [](HWND window, LPARAM out) {
                if (IsWindowVisible(window))
                    *reinterpret_cast<HWND*>(out) = window;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
    return found && IsWindowVisible(found) ? found : nullptr;
}

// A user at one dialog, on a thread of its own: once the dialog shows (see
// findDialog), it runs the action on it.
class DialogUser {
public:
    DialogUser(const wchar_t* caption, std::function<void(HWND)> action)
        : thread_([this, caption, action, thread = GetCurrentThreadId()] {
              HWND window = nullptr;
              while (!stop_ && !(window = findDialog(caption, thread)))
                  Sleep(5);
              if (window)
                  action(window);
          }) {}
    ~DialogUser() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::wstring textOf(HWND window, int id) {
    wchar_t buffer[512] = L"";
    GetDlgItemTextW(window, id, buffer, 512);
    return buffer;
}
// What a progress dialog's two lines show.
std::wstring progressLines(HWND window) {
    return textOf(window, 1003) + L" | " + textOf(window, 1005);
}

void setChecksum(IStorageFile* made) {
    GUID sum{};
    check(made->ComputeChecksum(reinterpret_cast<BYTE*>(&sum)));
    wchar_t text[40] = L"";
    StringFromGUID2(sum, text, 40);
    check(made->SetProperty(StorageProperty_Checksum, Variant(std::wstring(text)).get()));
}

const std::wstring kUnicode = L"\u00c4rger \u65e5\u672c";
const struct {
    const wchar_t* folder; // below the root, or null
    const wchar_t* name;
    size_t size;
} kFiles[] = {{nullptr, L"a.txt", 100},       {nullptr, L"b.txt", 200},
              {nullptr, L"c.txt", 300},       {nullptr, L"empty.txt", 0},
              {nullptr, L"big.bin", 1234567}, {L"Docs", L"x.txt", 10},
              {L"Docs\\Inner", L"y.bin", 5},  {kUnicode.c_str(), L"\u00e9t\u00e9.txt", 7}};

Box question(const std::wstring& text) {
    return Box().caption(L"Coffrex").icon(Icon::Question).buttons({IDYES, IDNO}).text(text);
}

class ItemCommandsTest : public testing::Test {
protected:
    static void SetUpTestSuite() { scratch_ = new ScratchFolder; }
    static void TearDownTestSuite() { delete scratch_; }

    void SetUp() override {
        static int storages = 0;
        path_ = scratch_->file(L"items" + std::to_wstring(++storages) + L".demo-coffrex");
        ComPtr<IStorageServer> server = connectServer();
        root_ = createStorage(server.Get(), path_);
        for (const auto& row : kFiles) {
            ComPtr<IStorageFile> made = file(
                row.folder ? store::test::folder(root_.Get(), row.folder, true).Get() : root_.Get(),
                row.name, true);
            writeFile(made.Get(), std::vector<BYTE>(row.size, 0x5A), 1 << 21);
            setChecksum(made.Get());
        }
    }
    void TearDown() override {
        children_.clear();
        folder_.Reset();
        robot_.verify();
        EXPECT_EQ(S_OK, library().canUnloadNow()) << "an object of the library is still alive";
    }

    // The storage as the shell opens it: the folder, its view asked for, its items listed.
    void open() {
        ComPtr<IClassFactory> factory;
        ComPtr<IPersistFolder> persist;
        ASSERT_EQ(S_OK, library().getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder_)));
        ASSERT_EQ(S_OK, folder_.As(&persist));
        ItemIdList file(ILCreateFromPathW(path_.c_str()));
        ASSERT_EQ(S_OK, persist->Initialize(file.get()));
        ComPtr<IShellView> view;
        ASSERT_EQ(S_OK, folder_->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
        children_.clear();
        ComPtr<IEnumIDList> items;
        ASSERT_EQ(S_OK,
                  folder_->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items));
        for (LPITEMIDLIST child = nullptr; items->Next(1, &child, nullptr) == S_OK;)
            children_.emplace_back(child);
    }
    LPCITEMIDLIST child(const std::wstring& name) {
        for (const ItemIdList& item : children_)
            if (folder::nameOf(item.get()) == name)
                return item.get();
        ADD_FAILURE() << "no child " << narrow(name);
        return nullptr;
    }

    // The item menu of the named items, queried as the shell does: its
    // items' texts in menu order and their offsets.
    struct Menu {
        ComPtr<IContextMenu> menu;
        std::vector<std::wstring> texts;
        std::map<std::wstring, UINT> offsets;
    };
    Menu menuOf(const std::vector<std::wstring>& names, UINT flags = CMF_NORMAL) {
        std::vector<LPCITEMIDLIST> items;
        for (const std::wstring& name : names)
            items.push_back(child(name));
        Menu menu;
        EXPECT_EQ(S_OK, folder_->GetUIObjectOf(nullptr, UINT(items.size()), items.data(),
                                               IID_IContextMenu, nullptr, &menu.menu));
        HMENU popup = CreatePopupMenu();
        EXPECT_TRUE(SUCCEEDED(menu.menu->QueryContextMenu(popup, 0, 1, 0x7FFF, flags)));
        for (int i = 0; i < GetMenuItemCount(popup); ++i) {
            wchar_t text[64] = L"";
            if (GetMenuStringW(popup, UINT(i), text, 64, MF_BYPOSITION) > 0) {
                menu.texts.push_back(text);
                menu.offsets[text] = GetMenuItemID(popup, i) - 1;
            }
        }
        DestroyMenu(popup);
        return menu;
    }
    // One command of the named items' menu: by the offset of the menu item
    // with that text, else by that verb.
    HRESULT run(const std::vector<std::wstring>& names, const std::string& how) {
        Menu menu = menuOf(names);
        const std::wstring text(how.begin(), how.end());
        CMINVOKECOMMANDINFO info{sizeof info};
        info.lpVerb = menu.offsets.count(text) ? MAKEINTRESOURCEA(menu.offsets[text]) : how.c_str();
        return menu.menu->InvokeCommand(&info);
    }
    std::vector<std::wstring> names(const std::wstring& below = L"") {
        ComPtr<IStorageFolder> at =
            below.empty() ? root_ : store::test::folder(root_.Get(), below, false);
        return listNames(at.Get());
    }
    std::wstring commentCell(const std::wstring& name) {
        SHELLDETAILS details{};
        LPCITEMIDLIST item = child(name);
        if (!item)
            return L"missing";
        const HRESULT hr = folder_->GetDetailsOf(item, 3, &details);
        if (FAILED(hr))
            return L"failed";
        std::wstring text = details.str.pOleStr;
        CoTaskMemFree(details.str.pOleStr);
        return text;
    }

    static ScratchFolder* scratch_;
    std::wstring path_;
    ComPtr<IStorageFolder> root_;
    UiRobot robot_;
    ComPtr<IShellFolder2> folder_;
    std::vector<ItemIdList> children_;
};
ScratchFolder* ItemCommandsTest::scratch_ = nullptr;

// Each command once, at the top, with its help text. "Open" is added for one
// folder only, before Vista, and only when the shell asks for the default
// command: the suite runs where Vista or later is reported, so the test runs
// again in a child told it is Windows XP (the last test, below).
TEST_F(ItemCommandsTest, MenuOffersTheCommandsOnceWithHelpTexts) {
    open();
    const bool xp = cfx::test::reportedMajorVersion() == 5;
    const std::wstring check = L"Check integrity", extract = L"Extract to...";
    const struct {
        std::vector<std::wstring> names;
        UINT flags;
        std::vector<std::wstring> top; // in menu order
    } cases[] = {
        {{L"a.txt"}, CMF_NORMAL, {extract, check}},
        {{L"Docs"}, CMF_NORMAL, {check, extract}},
        {{L"a.txt", L"b.txt"}, CMF_NORMAL, {extract, check}},
        {{L"Docs", kUnicode}, CMF_DEFAULTONLY, {extract, check}},
        {{L"Docs", L"a.txt"}, CMF_NORMAL, {extract, check}},
        {{L"Docs"}, CMF_DEFAULTONLY, {xp ? L"Open" : check, xp ? check : extract}},
        {{L"Docs"}, 0x20000, {xp ? L"Open" : check, xp ? check : extract}},
        {{L"a.txt"}, CMF_DEFAULTONLY, {extract, check}},
    };
    for (const auto& c : cases) {
        Menu menu = menuOf(c.names, c.flags);
        EXPECT_EQ(c.top, std::vector<std::wstring>(menu.texts.begin(), menu.texts.begin() + 2))
            << narrow(c.names[0]) << " and " << c.names.size() - 1 << ", flags " << c.flags;
        EXPECT_EQ(2, std::count_if(menu.texts.begin(), menu.texts.end(),
                                   [&](auto& text) { return text == check || text == extract; }));
        const std::pair<std::wstring, std::wstring> helps[] = {
            {check, L"Test whether selected file or group of files were corrupted or not."},
            {extract, L"Extract selected object(s) to a folder on the computer."}};
        for (const auto& [text, help] : helps) {
            wchar_t buffer[128] = L"";
            auto* out = reinterpret_cast<char*>(buffer);
            EXPECT_EQ(S_OK, menu.menu->GetCommandString(menu.offsets.at(text), GCS_HELPTEXTW,
                                                        nullptr, out, 128));
            EXPECT_EQ(help, buffer);
            EXPECT_TRUE(FAILED(menu.menu->GetCommandString(menu.offsets.at(text), GCS_HELPTEXTW,
                                                           nullptr, out, 20)));
        }
    }
    if (xp)
        return;
    // Extract asks for a folder first; cancelling ends it.
    robot_
        .expect(Box().textContaining(
            L"Select folder where you want to export selected selected object(s)."))
        .answer(IDCANCEL);
    EXPECT_EQ(S_OK, run({L"a.txt", L"Docs"}, "Extract to..."));
}

TEST_F(ItemCommandsTest, DeletesAfterTheQuestionWithProgress) {
    open();
    const struct {
        std::vector<std::wstring> names;
        const char* how;                  // verb or menu item
        std::wstring question, lastLines; // the lines stay while the dialog lingers
        int answer;
    } cases[] = {
        {{L"a.txt"},
         "delete",
         L"Are you sure you want to delete 'a.txt' ?",
         L"Deleting 'a.txt' | 1 item remaining",
         IDYES},
        {{L"b.txt", L"Docs", L"c.txt"},
         "&Delete",
         L"Are you sure you want to delete 3 items ?",
         L"Deleting 'c.txt' | 1 item remaining",
         IDYES},
        {{L"empty.txt"}, "delete", L"Are you sure you want to delete 'empty.txt' ?", L"", IDNO},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> expected = names();
        robot_.expect(question(c.question)).answer(c.answer);
        if (c.answer == IDYES)
            robot_.expect(Box().caption(L"Deleting...").messageBox(false)).leaveOpen();
        std::wstring lastLines;
        {
            // The dialog lingers a second with Cancel disabled and its last lines.
            DialogUser user(L"Deleting...", [&](HWND progress) {
                for (int i = 0; i < 1000 && IsWindowEnabled(GetDlgItem(progress, IDCANCEL)); ++i)
                    Sleep(5);
                lastLines = progressLines(progress);
            });
            EXPECT_EQ(S_OK, run(c.names, c.how));
        }
        EXPECT_EQ(c.lastLines, lastLines);
        robot_.verify();
        for (const std::wstring& gone : c.answer == IDYES ? c.names : std::vector<std::wstring>{})
            expected.erase(std::find(expected.begin(), expected.end(), gone));
        EXPECT_EQ(expected, names());
        open();
    }
}

TEST_F(ItemCommandsTest, DeleteStopsAtTheFirstFailureAndIgnoresVanishedSelections) {
    open();
    // b.txt goes while the question is shown: its delete fails, c.txt stays.
    robot_.expect(question(L"Are you sure you want to delete 3 items ?")).leaveOpen();
    robot_.expect(Box().caption(L"Deleting...")).leaveOpen();
    robot_
        .expect(Box()
                    .caption(L"Coffrex")
                    .icon(Icon::Error)
                    .text(L"Unable to delete 'b.txt'")
                    .where(
                        [](const cfx::test::BoxRecord& box) {
                            return FindWindowW(L"#32770", L"Deleting...") == box.owner &&
                                   progressLines(box.owner) ==
                                       L"Deleting 'b.txt' | 2 items remaining";
                        },
                        "owned by the progress dialog, which shows b.txt"))
        .answer(IDOK);
    {
        DialogUser asked(L"Coffrex", [&](HWND box) {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ComPtr<IStorageFolder> other = openStorage(connectServer().Get(), path_);
            check(other->DeleteItem(bstr(L"b.txt").get()));
            other.Reset();
            CoUninitialize();
            robot_.press(box, IDYES);
        });
        EXPECT_EQ(S_OK, run({L"a.txt", L"b.txt", L"c.txt"}, "delete"));
    }
    robot_.verify();
    std::vector<std::wstring> left = names();
    EXPECT_EQ(left.end(), std::find(left.begin(), left.end(), L"a.txt"));
    EXPECT_NE(left.end(), std::find(left.begin(), left.end(), L"c.txt"));

    // A selection with an item deleted meanwhile: no question, nothing deleted.
    check(root_->DeleteItem(bstr(L"c.txt").get()));
    left = names();
    EXPECT_EQ(S_OK, run({L"empty.txt", L"c.txt"}, "delete"));
    EXPECT_EQ(left, names());
}

TEST_F(ItemCommandsTest, NewFolderTakesTheFirstFreeNameIgnoringCase) {
    store::test::folder(root_.Get(), L"New Folder", true);
    store::test::folder(root_.Get(), L"new folder (1)", true);
    open();
    ComPtr<IContextMenu> background;
    ASSERT_EQ(S_OK, folder_->CreateViewObject(nullptr, IID_PPV_ARGS(&background)));
    CMINVOKECOMMANDINFO info{sizeof info};
    info.lpVerb = "cfx:new_folder";
    for (const wchar_t* made : {L"New Folder (2)", L"New Folder (3)"}) {
        EXPECT_EQ(S_OK, background->InvokeCommand(&info));
        const std::vector<std::wstring> now = names();
        EXPECT_NE(now.end(), std::find(now.begin(), now.end(), made)) << narrow(made);
    }
}

TEST_F(ItemCommandsTest, IntegrityCheckListsTheDamagedFilesAndDeletesThem) {
    for (const wchar_t* damaged : {L"a.txt", L"Docs\\Inner\\y.bin"}) {
        const ToolRun run =
            runTool(L"corrupt " + quotedArgument(path_) + L" " + quotedArgument(damaged),
                    scratch_->file(std::to_wstring(GetTickCount64()) + L".txt"), 60000);
        ASSERT_EQ(0u, run.exitCode) << run.output;
    }
    open();
    // Nothing damaged among these: empty files are skipped.
    robot_.expect(Box().caption(L"Integrity checkig...")).leaveOpen();
    robot_
        .expect(Box()
                    .caption(L"Coffrex")
                    .icon(Icon::Information)
                    .text(L"Test completed.\nThere data is OK. Any corruption was detected."))
        .answer(IDOK);
    EXPECT_EQ(S_OK, run({L"b.txt", L"empty.txt", kUnicode}, "Check integrity"));
    robot_.verify();

    std::vector<std::wstring> listed;
    robot_.expect(Box().caption(L"Integrity checkig...")).leaveOpen();
    robot_.expect(Box().caption(L"List of corrupted files")).leaveOpen();
    robot_.expect(question(L"Are you sure you want to delete 2 items ?")).answer(IDYES);
    robot_.expect(Box().caption(L"Deleting").messageBox(false)).leaveOpen();
    {
        DialogUser list(L"List of corrupted files", [&](HWND dialog) {
            HWND tree = GetDlgItem(dialog, 1003);
            for (auto item = TreeView_GetRoot(tree); item;
                 item = TreeView_GetNextSibling(tree, item)) {
                wchar_t text[MAX_PATH] = L"";
                TVITEMW info{TVIF_TEXT | TVIF_HANDLE, item};
                info.pszText = text;
                info.cchTextMax = MAX_PATH;
                TreeView_GetItem(tree, &info);
                listed.push_back(text);
            }
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1004, BN_CLICKED), 0);
            for (int i = 0; i < 3000 && TreeView_GetCount(tree) != 0; ++i)
                Sleep(5);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);
        });
        EXPECT_EQ(S_OK, run({L"a.txt", L"c.txt", L"Docs"}, "Check integrity"));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"a.txt", L"y.bin"}), listed);
    const std::vector<std::wstring> left = names();
    EXPECT_EQ(left.end(), std::find(left.begin(), left.end(), L"a.txt"));
    EXPECT_NE(left.end(), std::find(left.begin(), left.end(), L"c.txt"));
    EXPECT_EQ(std::vector<std::wstring>{}, names(L"Docs\\Inner"));
}

TEST_F(ItemCommandsTest, PropertiesShowTheItemAndStoreNameAndComment) {
    const std::wstring text = L"Notiz \u00fcber \u65e5\u672c\r\n\u05e9\u05dc\u05d5\u05dd";
    const std::wstring cellText = L"Notiz \u00fcber \u65e5\u672c  \u05e9\u05dc\u05d5\u05dd";
    const struct {
        std::wstring item, type, size, comment; // what the page shows; no size: hidden
        std::wstring newName, newComment;       // typed before OK (empty: left alone)
        bool cancel;
        std::wstring nameAfter, cellAfter;
    } cases[] = {
        {L"big.bin", L"BIN File", L"1.18 Mb (1 234 567 bytes)", L"", L"", text, false, L"big.bin",
         cellText},
        {L"big.bin", L"BIN File", L"1.18 Mb (1 234 567 bytes)", text, L"", L"", false, L"big.bin",
         cellText},
        {L"a.txt", L"TXT File", L"100 bytes (100 bytes)", L"", L"",
         std::wstring(9990, L'w') + L"0123456789", false, L"a.txt",
         std::wstring(97, L'w') + L"..."},
        {L"Docs", L"", L"", L"", L"Papers", L"folder note", false, L"Papers", L"folder note"},
        {L"b.txt", L"TXT File", L"200 bytes (200 bytes)", L"", L"B.TXT", L"", false, L"b.txt", L""},
        {L"c.txt", L"TXT File", L"300 bytes (300 bytes)", L"", L"d.txt", L"gone", true, L"c.txt",
         L""},
    };
    for (const auto& c : cases) {
        open();
        std::wstring seen[4]; // type, size (when shown), name, comment
        // The user thread may close the sheet before the robot sees it.
        robot_.allow(Box().messageBox(false)).leaveOpen();
        if (!c.cancel && c.nameAfter != c.item)
            robot_.expect(Box().caption(L"Renaming...")).leaveOpen();
        {
            DialogUser user(nullptr, [&](HWND sheet) {
                HWND page = PropSheet_GetCurrentPageHwnd(sheet);
                const int ids[] = {1007, 1010, 1008, 1009};
                for (int i = 0; i < 4; ++i)
                    if (IsWindowVisible(GetDlgItem(page, ids[i])))
                        seen[i] = textOf(page, ids[i]);
                if (!c.newName.empty())
                    SetDlgItemTextW(page, 1008, c.newName.c_str());
                if (!c.newComment.empty())
                    SetDlgItemTextW(page, 1009, c.newComment.c_str());
                PropSheet_PressButton(sheet, c.cancel ? PSBTN_CANCEL : PSBTN_OK);
            });
            EXPECT_EQ(S_OK, run({c.item}, "properties"));
        }
        robot_.verify();
        // A folder's page has no size; its type is the registry's name for folders.
        EXPECT_EQ((std::vector<std::wstring>{c.size.empty() ? seen[0] : c.type, c.size, c.item,
                                             c.comment}),
                  std::vector<std::wstring>(seen, seen + 4));
        open();
        EXPECT_EQ(c.cellAfter, commentCell(c.nameAfter)) << narrow(c.nameAfter);
    }
    // Two items: no sheet at all.
    EXPECT_EQ(S_OK, run({L"a.txt", L"b.txt"}, "properties"));
}

TEST_F(ItemCommandsTest, BrokenCommentsShowNoGarbage) {
    // Only characters outside the alphabet: no bytes, no comment. A dangling
    // character: the text does not decode, the cell fails (the view leaves it
    // empty) and Properties reports the failure instead of showing a page.
    for (const auto& [name, text] : {std::pair{L"a.txt", L"%%%% ****"}, {L"b.txt", L"QUJDR"}})
        check(file(root_.Get(), name, false)
                  ->SetProperty(StorageProperty_Comment, Variant(std::wstring(text)).get()));
    open();
    EXPECT_EQ(L"", commentCell(L"a.txt"));
    EXPECT_EQ(L"failed", commentCell(L"b.txt"));
    robot_
        .expect(
            Box()
                .caption(L"Coffrex")
                .icon(Icon::Error)
                .text(L"Unable to complete operation\n\n" + server::errorText(DWORD(E_UNEXPECTED))))
        .answer(IDOK);
    EXPECT_EQ(E_UNEXPECTED, run({L"b.txt"}, "properties"));
}

// Last: the child makes test certificates of its own, and the storages of
// tests after it would not find theirs.
TEST_F(ItemCommandsTest, MenuAgainWhereWindowsXpIsReported) {
    if (cfx::test::reportedMajorVersion() == 5)
        GTEST_SKIP() << "This run is the one that reports Windows XP";
    std::string problem;
    EXPECT_EQ(0, cfx::test::runAgainAsWindowsXp(
                     L"--gtest_filter=ItemCommandsTest.MenuOffersTheCommandsOnce*", problem))
        << problem;
}

} // namespace
} // namespace cfx::itemstest
