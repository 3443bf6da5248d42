// The item commands through the storage folder's item menu, by verb and by
// menu offset, on storages of the real storage server; the robot's condition
// for a box plays the user; cfxtool damages files behind their checksums.
#include "common/Variant.h"
#include "folder/StorageItemId.h"
#include "server/ErrorReport.h"
#include "storeserver/RemoteStorage.h"
#include "storeserver/ToolProcess.h"
#include "support/StorageFolderOpen.h"
#include "support/UiRobot.h"
#include "ui/dialog_ids.h"

#include <commctrl.h>
#include <prsht.h>
#include <shlobj.h>

#include <thread>

namespace cfx::itemstest {
namespace {

using cfx::test::Box;
using cfx::test::BoxRecord;
using cfx::test::Icon;
using cfx::test::narrow;
using Microsoft::WRL::ComPtr;
using Names = std::vector<std::wstring>;
namespace remote = cfx::store::test;

std::wstring textOf(HWND window, int id) {
    wchar_t buffer[512] = L"";
    GetDlgItemTextW(window, id, buffer, 512);
    return buffer;
}

std::wstring progressLines(HWND window) {
    return textOf(window, IDC_PROGRESS_LINE1) + L" | " + textOf(window, IDC_PROGRESS_LINE2);
}

Box coffrex(Icon icon, const std::wstring& text) {
    return Box().caption(L"Coffrex").icon(icon).text(text);
}

bool isSheet(const BoxRecord& box) {
    return PropSheet_GetCurrentPageHwnd(box.window) != nullptr;
}

// A robot condition that plays the user at the box: it runs once the box
// shows, on the robot's thread, and holds the robot until it is done.
template <class Action> Box acting(Box box, Action action) {
    return box.where([action](const BoxRecord& seen) { return action(seen.window), true; },
                     "the user's action");
}

class ItemCommandsTest : public testing::Test {
protected:
    void SetUp() override {
        robot_.allow(Box().messageBox(false)).leaveOpen(); // progress dialogs
        root_ = remote::createStorage(remote::connectServer().Get(), path_);
        const std::tuple<const wchar_t*, const wchar_t*, size_t> files[] = {
            {L"", L"a.txt", 100},         {L"", L"b.txt", 200},       {L"", L"c.txt", 300},
            {L"", L"empty.txt", 0},       {L"", L"big.bin", 1234567}, {L"Docs", L"x.txt", 10},
            {L"Docs\\Inner", L"y.bin", 5}};
        for (const auto& [at, name, size] : files) {
            ComPtr<IStorageFile> made = remote::file(
                *at ? remote::folder(root_.Get(), at, true).Get() : root_.Get(), name, true);
            remote::writeFile(made.Get(), std::vector<BYTE>(size, 0x5A), 1 << 21);
            GUID sum{};
            wchar_t text[40] = L"";
            check(made->ComputeChecksum(reinterpret_cast<BYTE*>(&sum)));
            StringFromGUID2(sum, text, 40);
            check(made->SetProperty(StorageProperty_Checksum, Variant(std::wstring(text)).get()));
        }
    }
    void TearDown() override {
        folder_.Reset();
        robot_.verify();
        EXPECT_EQ(S_OK, cfx::test::cfxview().canUnloadNow()) << "an object is still alive";
    }

    // The storage as the shell opens it: the folder, its view, its items listed.
    void open() {
        ASSERT_TRUE(folder_ = cfx::test::openStorageFolder(path_));
        children_.clear();
        ComPtr<IEnumIDList> items;
        ASSERT_EQ(S_OK,
                  folder_->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items));
        for (LPITEMIDLIST child = nullptr; items->Next(1, &child, nullptr) == S_OK;)
            children_.emplace_back(child);
    }
    LPCITEMIDLIST child(const std::wstring& name) {
        for (const folder::ItemIdList& item : children_)
            if (folder::nameOf(item.get()) == name)
                return item.get();
        return nullptr;
    }

    // One command of the named items' menu, invoked as the shell does: by the
    // offset of the menu item with that text, else by that verb.
    HRESULT run(const Names& selected, const std::string& how) {
        std::vector<LPCITEMIDLIST> items;
        for (const std::wstring& name : selected)
            items.push_back(child(name));
        ComPtr<IContextMenu> menu;
        EXPECT_EQ(S_OK, folder_->GetUIObjectOf(nullptr, UINT(items.size()), items.data(),
                                               IID_IContextMenu, nullptr, &menu));
        HMENU popup = CreatePopupMenu();
        menu->QueryContextMenu(popup, 0, 1, 0x7FFF, CMF_NORMAL);
        CMINVOKECOMMANDINFO info{sizeof info};
        info.lpVerb = how.c_str();
        for (int i = 0; i < GetMenuItemCount(popup); ++i) {
            wchar_t text[64] = L"";
            GetMenuStringW(popup, UINT(i), text, 64, MF_BYPOSITION);
            if (std::wstring(how.begin(), how.end()) == text)
                info.lpVerb = MAKEINTRESOURCEA(GetMenuItemID(popup, i) - 1);
        }
        DestroyMenu(popup);
        return menu->InvokeCommand(&info);
    }
    Names names(const std::wstring& below = L"") { // sorted
        Names found = remote::listNames(
            below.empty() ? root_.Get() : remote::folder(root_.Get(), below, false).Get());
        std::sort(found.begin(), found.end());
        return found;
    }
    std::wstring commentCell(const std::wstring& name) {
        SHELLDETAILS details{};
        if (FAILED(folder_->GetDetailsOf(child(name), 3, &details)))
            return L"failed";
        std::wstring text = details.str.pOleStr;
        CoTaskMemFree(details.str.pOleStr);
        return text;
    }

    remote::ScratchFolder scratch_;
    std::wstring path_ = scratch_.file(L"items.demo-coffrex");
    ComPtr<IStorageFolder> root_;
    cfx::test::UiRobot robot_;
    ComPtr<IShellFolder2> folder_;
    std::vector<folder::ItemIdList> children_;
};

// b.txt goes while the question is shown: its delete fails, the error box
// belongs to the progress dialog, and c.txt after it stays. An item deleted
// meanwhile: no question, nothing deleted.
TEST_F(ItemCommandsTest, DeleteAsksStopsAtTheFirstFailureAndIgnoresVanishedItems) {
    open();
    robot_
        .expect(acting(coffrex(Icon::Question, L"Are you sure you want to delete 3 items ?"),
                       [this](HWND) {
                           CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                           check(remote::openStorage(remote::connectServer().Get(), path_)
                                     ->DeleteItem(remote::bstr(L"b.txt").get()));
                           CoUninitialize();
                       }))
        .answer(IDYES);
    robot_
        .expect(coffrex(Icon::Error, L"Unable to delete 'b.txt'")
                    .where(
                        [](const BoxRecord& box) {
                            return FindWindowW(L"#32770", L"Deleting...") == box.owner &&
                                   progressLines(box.owner) ==
                                       L"Deleting 'b.txt' | 2 items remaining";
                        },
                        "owned by the progress dialog, which shows b.txt"))
        .answer(IDOK);
    EXPECT_EQ(S_OK, run({L"a.txt", L"b.txt", L"c.txt"}, "&Delete"));
    EXPECT_EQ((Names{L"Docs", L"big.bin", L"c.txt", L"empty.txt"}), names());
    robot_.expect(coffrex(Icon::Question, L"Are you sure you want to delete 'empty.txt' ?"))
        .answer(IDNO);
    EXPECT_EQ(S_OK, run({L"empty.txt"}, "delete"));
    check(root_->DeleteItem(remote::bstr(L"big.bin").get()));
    EXPECT_EQ(S_OK, run({L"empty.txt", L"big.bin"}, "delete"));
    EXPECT_EQ((Names{L"Docs", L"c.txt", L"empty.txt"}), names());
}

TEST_F(ItemCommandsTest, IntegrityCheckListsTheDamagedFilesAndDeletesThem) {
    for (const wchar_t* damaged : {L"a.txt", L"Docs\\Inner\\y.bin"}) {
        const remote::ToolRun tool = remote::runTool(
            L"corrupt " + remote::quotedArgument(path_) + L" " + remote::quotedArgument(damaged),
            scratch_.file(std::to_wstring(GetTickCount64()) + L".txt"), 60000);
        ASSERT_EQ(0u, tool.exitCode) << tool.output;
    }
    open();
    // The list of the two damaged files; its Delete button, then Close once
    // the deletion has emptied it.
    int listed = 0;
    robot_
        .expect(acting(Box().caption(L"List of corrupted files"),
                       [&](HWND dialog) {
                           HWND tree = GetDlgItem(dialog, 1003);
                           listed = int(TreeView_GetCount(tree));
                           PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1004, BN_CLICKED), 0);
                           std::thread([dialog, tree] {
                               for (int i = 0; i < 3000 && TreeView_GetCount(tree) != 0; ++i)
                                   Sleep(5);
                               PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1002, BN_CLICKED), 0);
                           }).detach();
                       }))
        .leaveOpen();
    robot_.expect(coffrex(Icon::Question, L"Are you sure you want to delete 2 items ?"))
        .answer(IDYES);
    EXPECT_EQ(S_OK, run({L"a.txt", L"c.txt", L"Docs"}, "Check integrity"));
    EXPECT_EQ(2, listed);
    EXPECT_EQ((Names{L"Docs", L"b.txt", L"big.bin", L"c.txt", L"empty.txt"}), names());
    EXPECT_EQ(Names{}, names(L"Docs\\Inner"));
}

// The page shows type, size (a folder: none), name and comment; what the user
// types before OK or Cancel gives the name and comment cell after.
TEST_F(ItemCommandsTest, PropertiesShowTheItemAndStoreNameAndComment) {
    const std::wstring text = L"Notiz \u00fcber \u65e5\u672c\r\n\u05e9\u05dc\u05d5\u05dd";
    const std::wstring cellText = L"Notiz \u00fcber \u65e5\u672c  \u05e9\u05dc\u05d5\u05dd";
    const std::wstring mb = L"1.18 Mb (1 234 567 bytes)";
    const struct {
        std::wstring item, type, size, comment, newName, newComment;
        bool cancel;
        std::wstring nameAfter, cellAfter;
    } cases[] = {
        {L"big.bin", L"BIN File", mb, L"", L"", text, false, L"big.bin", cellText},
        {L"big.bin", L"BIN File", mb, text, L"", L"", false, L"big.bin", cellText},
        {L"Docs", L"", L"", L"", L"Papers", L"folder note", false, L"Papers", L"folder note"},
        {L"c.txt", L"TXT File", L"300 bytes (300 bytes)", L"", L"d.txt", L"gone", true, L"c.txt",
         L""},
    };
    for (const auto& c : cases) {
        open();
        std::wstring seen[4];
        robot_
            .expect(acting(Box().messageBox(false).where(isSheet, "a property sheet"),
                           [&](HWND sheet) {
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
                           }))
            .leaveOpen();
        EXPECT_EQ(S_OK, run({c.item}, "properties"));
        EXPECT_EQ((Names{c.size.empty() ? seen[0] : c.type, c.size, c.item, c.comment}),
                  Names(seen, seen + 4));
        open();
        EXPECT_EQ(c.cellAfter, commentCell(c.nameAfter)) << narrow(c.nameAfter);
    }
}

// A comment whose text does not decode: the cell fails (the view leaves it
// empty) and Properties reports the failure instead of showing garbage.
TEST_F(ItemCommandsTest, BrokenCommentsShowNoGarbage) {
    check(remote::file(root_.Get(), L"b.txt", false)
              ->SetProperty(StorageProperty_Comment, Variant(std::wstring(L"QUJDR")).get()));
    open();
    EXPECT_EQ(L"failed", commentCell(L"b.txt"));
    robot_
        .expect(coffrex(Icon::Error, L"Unable to complete operation\n\n" +
                                         server::errorText(DWORD(E_UNEXPECTED))))
        .answer(IDOK);
    EXPECT_EQ(E_UNEXPECTED, run({L"b.txt"}, "properties"));
}

} // namespace
} // namespace cfx::itemstest
