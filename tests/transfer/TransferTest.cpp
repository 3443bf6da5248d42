// Files going into a storage and out of it as the shell drives the library:
// Wine's shell's data objects for files of the prefix dropped or pasted, the
// robot answering, the real storage server behind. TransferIsolated kills the
// server: it runs in a process of its own (tests/CMakeLists.txt).
#include "folder/StorageItemId.h"
#include "server/ErrorReport.h"
#include "storeserver/RemoteStorage.h"
#include "support/FakeStorageItem.h"
#include "support/StorageFolderOpen.h"
#include "support/UiRobot.h"
#include "transfer/Clipboard.h"
#include "transfer/StorageDataObject.h"
#include "transfer/TransferEngine.h"
#include "ui/dialog_ids.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <map>
#include <thread>

namespace cfx::transfertest {
namespace {

using namespace cfx::store::test;
using cfx::folder::ItemIdList;
using cfx::test::Box;
using cfx::test::UiRobot;
// Paths to bytes; a path ending in "\\" is a folder.
using Tree = std::map<std::wstring, std::vector<BYTE>>;

void makeTree(const std::wstring& root, const Tree& tree) {
    for (const auto& [path, bytes] : tree) {
        if (path.back() == L'\\')
            CreateDirectoryW((root + L"\\" + path.substr(0, path.size() - 1)).c_str(), nullptr);
        else
            putFileBytes(root + L"\\" + path, bytes);
    }
}

ComPtr<IDataObject> dataObjectOf(IShellFolder* parent, const std::vector<std::wstring>& names) {
    std::vector<ItemIdList> held;
    std::vector<LPCITEMIDLIST> items;
    for (const std::wstring& name : names) {
        LPITEMIDLIST item = nullptr;
        parent->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(name.c_str()), nullptr, &item,
                                 nullptr);
        held.emplace_back(item);
        items.push_back(item);
    }
    ComPtr<IDataObject> data;
    EXPECT_EQ(S_OK, parent->GetUIObjectOf(nullptr, UINT(items.size()), items.data(),
                                          IID_IDataObject, nullptr, &data));
    return data;
}

ComPtr<IDataObject> shellDataObject(const std::wstring& folder,
                                    const std::vector<std::wstring>& names) {
    ComPtr<IShellFolder> desktop, parent;
    SHGetDesktopFolder(&desktop);
    ItemIdList list(ILCreateFromPathW(folder.c_str()));
    desktop->BindToObject(list.get(), nullptr, IID_PPV_ARGS(&parent));
    return dataObjectOf(parent.Get(), names);
}

UINT format(const wchar_t* name) {
    return RegisterClipboardFormatW(name);
}

// What a storage holds, read by a client of the server: folders as path + "\\"
// with no bytes; each file's stored checksum checked against its contents.
void walk(IStorageFolder* folder, const std::wstring& at, Tree& tree) {
    for (const std::wstring& name : listNames(folder)) {
        ComPtr<IStorageItem> item;
        LONG type = 0;
        check(folder->GetItemInfo(bstr(name).get(), &item));
        check(item->GetType(&type));
        if (type == StorageItemFolder) {
            walk(store::test::folder(folder, name, false).Get(),
                 tree.emplace(at + name + L"\\", std::vector<BYTE>{}).first->first, tree);
            continue;
        }
        ComPtr<IStorageFile> made = file(folder, name, false);
        tree[at + name] = readFile(made.Get());
        GUID sum;
        wchar_t text[40];
        check(made->ComputeChecksum(reinterpret_cast<BYTE*>(&sum)));
        StringFromGUID2(sum, text, 40);
        EXPECT_EQ(0, _wcsicmp(text, textProperty(made.Get(), StorageProperty_Checksum).c_str()));
    }
}

Tree storageTree(const std::wstring& storage) {
    ComPtr<IStorageFolder> root = openStorage(connectServer().Get(), storage);
    ComPtr<IStorageObject> object;
    check(root.As(&object));
    unlock(object.Get());
    Tree tree;
    walk(root.Get(), L"", tree);
    return tree;
}

const Tree kTree = {
    {L"Reports\\", {}},
    {L"Reports\\Spring\\", {}},
    {L"Reports\\Spring\\q1.txt", patternBytes(5000, 1)},
    {L"Reports\\empty.bin", {}},
    {L"Reports\\Hollow\\", {}},
    {L"Reports\\\u00c4rger \u65e5\u672c.dat", patternBytes(4096 * 3 + 17, 2)},
    {L"single.bin", patternBytes(70000, 3)},
};

Box progress(const wchar_t* title) {
    return Box().messageBox(false).caption(title);
}

Box overwriteQuestion(const std::wstring& name) {
    return Box()
        .caption(L"Coffrex")
        .textContaining(L"File '" + name + L"' already exists.\nOverwrite it?");
}

class TransferTest : public testing::Test {
protected:
    void SetUp() override {
        createStorage(connectServer().Get(), storage_);
        CreateDirectoryW(disk_.c_str(), nullptr);
        folder_ = cfx::test::openStorageFolder(storage_);
        ASSERT_EQ(S_OK,
                  folder_->GetUIObjectOf(nullptr, 0, nullptr, IID_IDropTarget, nullptr, &target_));
        robot_.allow(progress(L"Copying...")).leaveOpen();
        robot_.allow(progress(L"Moving...")).leaveOpen();
    }
    void TearDown() override {
        target_.Reset();
        folder_.Reset();
        robot_.verify();
        EXPECT_EQ(S_OK, cfx::test::cfxview().canUnloadNow()) << "an object is still alive";
    }

    DWORD drop(IDataObject* data, DWORD keys = MK_LBUTTON) {
        DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        EXPECT_EQ(S_OK, target_->DragEnter(data, keys, {0, 0}, &effect));
        effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        EXPECT_EQ(S_OK, target_->Drop(data, keys, {0, 0}, &effect));
        return effect;
    }
    DWORD drop(const std::vector<std::wstring>& names, DWORD keys = MK_LBUTTON) {
        robot_.expect(progress(keys & MK_SHIFT ? L"Moving..." : L"Copying...")).leaveOpen();
        return drop(shellDataObject(disk_, names).Get(), keys);
    }

    ScratchFolder scratch_;
    std::wstring storage_ = scratch_.file(L"transfer.demo-coffrex"), disk_ = scratch_.file(L"disk");
    UiRobot robot_;
    ComPtr<IShellFolder2> folder_;
    ComPtr<IDropTarget> target_;
};

TEST_F(TransferTest, KeysChooseTheEffectAndStorageItemsAreRefused) {
    makeTree(disk_, {{L"a.txt", patternBytes(10, 0)}});
    const DWORD copy = DROPEFFECT_COPY, move = DROPEFFECT_MOVE, none = DROPEFFECT_NONE;
    const DWORD keys[] = {0,
                          MK_LBUTTON,
                          MK_LBUTTON | MK_CONTROL,
                          MK_LBUTTON | MK_SHIFT,
                          MK_LBUTTON | MK_ALT,
                          MK_RBUTTON,
                          MK_LBUTTON | MK_CONTROL | MK_SHIFT,
                          MK_RBUTTON | MK_ALT};
    const DWORD effects[] = {copy, copy, copy, move, move, move, none, none};
    ComPtr<IDataObject> files = shellDataObject(disk_, {L"a.txt"});
    for (int i = 0; i < 8; ++i) {
        DWORD entered = 7, over = 7;
        EXPECT_EQ(S_OK, target_->DragEnter(files.Get(), keys[i], {0, 0}, &entered));
        EXPECT_EQ(S_OK, target_->DragOver(keys[i], {1, 1}, &over));
        EXPECT_EQ(effects[i], entered) << keys[i];
        EXPECT_EQ(effects[i], over) << keys[i];
    }
    // Items of a storage dropped on it: no effect, nothing written.
    EXPECT_EQ(copy, drop({L"a.txt"}));
    EXPECT_EQ(none, drop(dataObjectOf(folder_.Get(), {L"a.txt"}).Get()));
    EXPECT_EQ(1u, storageTree(storage_).size());
}

// A move that keeps one file (a question answered No) reports no effect, so
// that the source deletes nothing; dropping a folder again merges into it.
TEST_F(TransferTest, DropsCopyAndMoveTreesWhole) {
    makeTree(disk_, kTree);
    EXPECT_EQ(DWORD(DROPEFFECT_COPY), drop({L"Reports", L"single.bin"}));
    EXPECT_EQ(kTree, storageTree(storage_));
    makeTree(disk_, {{L"Reports\\new.txt", patternBytes(3, 9)}});
    for (const wchar_t* name : {L"q1.txt", L"empty.bin", L"\u00c4rger \u65e5\u672c.dat"})
        robot_.expect(overwriteQuestion(name)).answer(IDNO);
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop({L"Reports"}, MK_LBUTTON | MK_SHIFT));
    robot_.expect(overwriteQuestion(L"single.bin")).answer(IDYES);
    EXPECT_EQ(DWORD(DROPEFFECT_MOVE), drop({L"single.bin"}, MK_LBUTTON | MK_SHIFT));
    Tree expected = kTree;
    expected[L"Reports\\new.txt"] = patternBytes(3, 9);
    EXPECT_EQ(expected, storageTree(storage_));
}

// The check box says Yes for every later conflict of that drop only.
TEST_F(TransferTest, OverwriteQuestionsAndTheCheckBoxForAll) {
    makeTree(disk_, {{L"a.txt", {0}}, {L"b.txt", {0}}, {L"c.txt", {0}}});
    drop({L"a.txt", L"b.txt", L"c.txt"});
    auto tickForAll = [](const cfx::test::BoxRecord& box) {
        for (const auto& control : box.controls)
            if ((control.style & 0xF) == BS_AUTOCHECKBOX)
                SendMessageW(control.window, BM_SETCHECK, BST_CHECKED, 0);
        return true;
    };
    const std::vector<BYTE> a = patternBytes(100, 1), b = patternBytes(200, 2), c = {3, 3};
    const struct {
        std::vector<std::wstring> names;
        std::vector<int> answers; // one a question; 0: yes with the check box
        Tree after;
    } cases[] = {
        {{L"a.txt"}, {IDNO}, {{L"a.txt", {0}}}},
        {{L"b.txt", L"c.txt"}, {IDYES, IDNO}, {{L"b.txt", b}, {L"c.txt", {0}}}},
        {{L"a.txt", L"b.txt", L"c.txt"}, {0}, {{L"a.txt", a}, {L"c.txt", c}}},
        {{L"a.txt", L"b.txt"}, {IDNO, IDNO}, {{L"a.txt", a}}}, // asked again
    };
    makeTree(disk_, {{L"a.txt", a}, {L"b.txt", b}, {L"c.txt", c}});
    for (const auto& row : cases) {
        for (size_t i = 0; i < row.answers.size(); ++i)
            robot_
                .expect(row.answers[i] ? overwriteQuestion(row.names[i])
                                       : overwriteQuestion(row.names[i]).where(tickForAll))
                .answer(row.answers[i] ? row.answers[i] : IDYES);
        drop(row.names);
        robot_.verify();
        const Tree stored = storageTree(storage_);
        for (const auto& [name, bytes] : row.after)
            EXPECT_EQ(bytes, stored.at(name)) << narrow(name);
    }
}

TEST_F(TransferTest, ACancelLeavesNoPartialFileAndAFolderKeepsWhatWasComplete) {
    Tree tree{{L"F\\", {}}, {L"F\\clash.bin", patternBytes(20000, 7)}, {L"later.bin", {1}}};
    for (int i = 0; i < 6; ++i)
        tree[L"F\\" + std::to_wstring(i) + L".bin"] = patternBytes(9000, i);
    makeTree(disk_, {{L"F\\", {}}, {L"F\\clash.bin", {0}}, {L"later.bin", {0}}});
    drop({L"F", L"later.bin"});
    makeTree(disk_, tree);
    // At the first question the user presses Cancel on the progress dialog, then Yes.
    auto cancelTransfer = [](const cfx::test::BoxRecord&) {
        SendMessageW(FindWindowW(nullptr, L"Copying..."), WM_COMMAND, IDCANCEL, 0);
        return true;
    };
    robot_.expect(overwriteQuestion(L"clash.bin").where(cancelTransfer)).answer(IDYES);
    // The next top-level file is still opened and asked about, then removed by the cancel.
    robot_.expect(overwriteQuestion(L"later.bin")).answer(IDYES);
    EXPECT_EQ(DWORD(DROPEFFECT_COPY), drop({L"F", L"later.bin"}));
    const Tree stored = storageTree(storage_);
    EXPECT_EQ(0u, stored.count(L"F\\clash.bin") + stored.count(L"later.bin"));
    for (const auto& [path, bytes] : stored)
        EXPECT_EQ(tree.at(path), bytes) << narrow(path) << " is whole";
}

TEST_F(TransferTest, AFileInUseGivesItsReasonAndWritesNothing) {
    makeTree(disk_, {{L"fine.txt", patternBytes(10, 1)}});
    FileHandle writer(CreateFileW((disk_ + L"\\fine.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    robot_
        .expect(Box()
                    .caption(L"Coffrex")
                    .icon(cfx::test::Icon::Error)
                    .text(L"Unable to copy '" + disk_ + L"\\fine.txt'\n\n" +
                          server::errorText(DWORD(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)))))
        .answer(IDOK);
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop({L"fine.txt"}));
    EXPECT_TRUE(storageTree(storage_).empty());
}

// Out through the virtual files byte for byte; a move reported back
// (optimised move) deletes the items once, and only after their contents
// were asked for.
TEST_F(TransferTest, CopiesOutAndTheOptimisedMoveDeletesExactlyOnce) {
    makeTree(disk_, kTree);
    drop({L"Reports", L"single.bin"});
    ComPtr<IDataObject> data = dataObjectOf(folder_.Get(), {L"Reports", L"single.bin"});
    FORMATETC group{CLIPFORMAT(format(CFSTR_FILEDESCRIPTORW)), nullptr, DVASPECT_CONTENT, -1,
                    TYMED_HGLOBAL};
    FORMATETC contents{CLIPFORMAT(format(CFSTR_FILECONTENTS)), nullptr, DVASPECT_CONTENT, 0,
                       TYMED_ISTREAM};
    auto report = [&](DWORD effect) {
        FORMATETC etc{CLIPFORMAT(format(L"Performed DropEffect")), nullptr, DVASPECT_CONTENT, -1,
                      TYMED_HGLOBAL};
        STGMEDIUM told{TYMED_HGLOBAL};
        told.hGlobal = GlobalAlloc(GMEM_FIXED, 4);
        *static_cast<DWORD*>(told.hGlobal) = effect;
        EXPECT_EQ(S_OK, data->SetData(&etc, &told, TRUE));
        return storageTree(storage_).size();
    };
    EXPECT_EQ(kTree.size(), report(DROPEFFECT_MOVE)) << "no contents asked for: nothing deleted";
    STGMEDIUM medium{};
    ASSERT_EQ(S_OK, data->GetData(&group, &medium));
    const auto* block = static_cast<const BYTE*>(GlobalLock(medium.hGlobal));
    const UINT count = *reinterpret_cast<const UINT*>(block);
    Tree out;
    for (UINT i = 0; i < count; ++i) {
        FILEDESCRIPTORW record;
        std::memcpy(&record, block + 4 + sizeof record * i, sizeof record);
        if (record.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY) {
            out[record.cFileName + std::wstring(L"\\")];
            continue;
        }
        contents.lindex = LONG(i);
        STGMEDIUM stream{};
        ASSERT_EQ(S_OK, data->GetData(&contents, &stream)) << narrow(record.cFileName);
        std::vector<BYTE>& bytes = out[record.cFileName];
        BYTE buffer[1000];
        for (ULONG got = 0; SUCCEEDED(stream.pstm->Read(buffer, sizeof buffer, &got)) && got;)
            bytes.insert(bytes.end(), buffer, buffer + got);
        EXPECT_EQ((ULONGLONG(record.nFileSizeHigh) << 32) | record.nFileSizeLow, bytes.size());
        ReleaseStgMedium(&stream);
    }
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    EXPECT_EQ(kTree, out);
    EXPECT_EQ(kTree.size(), report(DROPEFFECT_COPY));
    EXPECT_EQ(0u, report(DROPEFFECT_MOVE));
    drop({L"Reports", L"single.bin"}); // a second report deletes nothing
    EXPECT_EQ(kTree.size(), report(DROPEFFECT_MOVE));
}

// A Cut puts the move it asks for on the real clipboard; a paste of files of
// the computer copies them in; storage items pasted into a storage are refused.
TEST_F(TransferTest, ClipboardRoundTrips) {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); // as on the shell's threads
    makeTree(disk_, {{L"a.txt", patternBytes(4000, 1)}, {L"b.txt", patternBytes(10, 2)}});
    drop({L"a.txt"});
    ASSERT_TRUE(transfer::cutToClipboard(nullptr, dataObjectOf(folder_.Get(), {L"a.txt"}).Get()));
    ComPtr<IDataObject> pasted;
    ASSERT_EQ(S_OK, OleGetClipboard(&pasted));
    FORMATETC etc{CLIPFORMAT(format(L"Preferred DropEffect")), nullptr, DVASPECT_CONTENT, -1,
                  TYMED_HGLOBAL};
    STGMEDIUM medium{};
    ASSERT_EQ(S_OK, pasted->GetData(&etc, &medium));
    EXPECT_EQ(DWORD(DROPEFFECT_MOVE), *static_cast<DWORD*>(GlobalLock(medium.hGlobal)));
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    ComPtr<IContextMenu> background;
    ASSERT_EQ(S_OK, folder_->CreateViewObject(nullptr, IID_PPV_ARGS(&background)));
    CMINVOKECOMMANDINFO paste{sizeof paste};
    paste.lpVerb = "paste";
    EXPECT_EQ(S_OK, background->InvokeCommand(&paste));
    ASSERT_EQ(S_OK, OleSetClipboard(shellDataObject(disk_, {L"b.txt"}).Get()));
    robot_.expect(progress(L"Copying...")).leaveOpen();
    EXPECT_EQ(S_OK, background->InvokeCommand(&paste));
    OleSetClipboard(nullptr);
    EXPECT_EQ((Tree{{L"a.txt", patternBytes(4000, 1)}, {L"b.txt", patternBytes(10, 2)}}),
              storageTree(storage_));
    OleUninitialize();
}

// Sizes are 64-bit. A storage cannot hold a file past 4 GiB under Wine (its
// compound files stop there), so the record is made for a stand-in item.
TEST(TransferDescriptor, RecordsOfFilesBeyondFourGibibytesAndOfFolders) {
    auto item = cfx::test::FakeStorageItem::create();
    item->setTimes({{1, 2}, {3, 4}, {5, 6}});
    item->setName(L"huge.bin");
    item->setSize((5ull << 30) + 3);
    FILEDESCRIPTORW record = transfer::fileDescriptorOf(item.get(), L"A\\B");
    EXPECT_EQ(std::make_tuple(0x407Cul, 0x80ul, 1ul, (1ul << 30) + 3, 3ul, 5ul),
              std::make_tuple(record.dwFlags, record.dwFileAttributes, record.nFileSizeHigh,
                              record.nFileSizeLow, record.ftCreationTime.dwLowDateTime,
                              record.ftLastWriteTime.dwLowDateTime));
    EXPECT_STREQ(L"A\\B\\huge.bin", record.cFileName);
    item->setType(StorageItemFolder);
    record = transfer::fileDescriptorOf(item.get(), L"");
    EXPECT_EQ(std::make_tuple(0x403Cul, 0x10ul, 0ul),
              std::make_tuple(record.dwFlags, record.dwFileAttributes, record.nFileSizeLow));
    item->setName(std::wstring(259, L'n'));
    EXPECT_THROW(transfer::fileDescriptorOf(item.get(), L"x"), _com_error) << "260 units";
    item->setType(3);
    EXPECT_THROW(transfer::fileDescriptorOf(item.get(), L""), _com_error) << "unknown kind";
}

// The server dies while a large file is being copied: the error box, what came
// before stays whole, and the storage holds no part of the file under its name.
class TransferIsolated : public TransferTest {};
TEST_F(TransferIsolated, ServerKilledInTheMiddleOfAnImport) {
    const std::vector<BYTE> first = patternBytes(10000, 1);
    makeTree(disk_,
             {{L"first.bin", first}, {L"big.bin", patternBytes(24 << 20, 2)}, {L"last.bin", {3}}});
    KernelHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                    serverProcessOf(connectServer().Get())));
    robot_
        .expect(Box()
                    .caption(L"Coffrex")
                    .icon(cfx::test::Icon::Error)
                    .textContaining(L"Unable to copy '" + disk_ + L"\\big.bin'\n\n"))
        .answer(IDOK);
    // Kills the server once big.bin is partly copied (the bar past 5 %).
    std::thread killer([&] {
        for (int i = 0; i < 6000; ++i, Sleep(5)) {
            HWND dialog = FindWindowW(nullptr, L"Copying...");
            wchar_t line[200] = L"";
            GetDlgItemTextW(dialog, IDC_PROGRESS_LINE1, line, 200);
            if (dialog && std::wcsstr(line, L"'big.bin'") &&
                SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0) >= 5)
                return void(TerminateProcess(server.get(), 9));
        }
    });
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop({L"first.bin", L"big.bin", L"last.bin"}));
    killer.join();
    // The storage as a new server would find it (under Wine the dead server's
    // registration stays for the session: the engine reads it here).
    WaitForSingleObject(server.get(), 10000);
    auto container = store::Container::open(storage_);
    unlockWithInstalledKey(*container);
    std::vector<std::wstring> names;
    for (const store::Item& item : container->root().children())
        names.push_back(item.name());
    EXPECT_EQ((std::vector<std::wstring>{L"first.bin", L"big.bin.cfxpartial"}), names);
    store::FileStream stream = container->root().item(L"first.bin").openStream();
    std::vector<BYTE> read(first.size() + 1);
    read.resize(stream.read(0, read.data(), static_cast<ULONG>(read.size())));
    EXPECT_EQ(first, read);
}

} // namespace
} // namespace cfx::transfertest
