// Files going into a storage and coming out of it, driven as the shell drives
// the library: data objects made by Wine's shell for real files of the
// prefix dropped on the storage folder's drop target or pasted through the
// clipboard, overwrite questions and cancels answered by the robot, and the
// storage's own data object read as a drop target reads it. The storage is
// served by the real storage server; in a process of its own (TransferIsolated,
// see tests/CMakeLists.txt), the server is killed in the middle of an import.
#include "common/Variant.h"
#include "common/Wine.h"
#include "folder/StorageItemId.h"
#include "idl/cfxview_classes.h"
#include "server/ErrorReport.h"
#include "storeserver/RemoteStorage.h"
#include "support/FakeStorageItem.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
#include "transfer/Clipboard.h"
#include "transfer/StorageDataObject.h"
#include "transfer/TransferEngine.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

namespace cfx::transfertest {
namespace {

using cfx::folder::ItemIdList;
using cfx::test::Box;
using cfx::test::BoxRecord;
using cfx::test::Icon;
using cfx::test::UiRobot;
using Microsoft::WRL::ComPtr;
using namespace cfx::store::test;

cfx::test::LoadedLibrary& library() {
    static auto* loaded = new cfx::test::LoadedLibrary(L"cfxview.dll");
    return *loaded;
}

// The storage folder as the shell opens it: made, initialised, a view asked for.
ComPtr<IShellFolder2> openFolder(const std::wstring& path) {
    ComPtr<IClassFactory> factory;
    ComPtr<IShellFolder2> folder;
    ComPtr<IPersistFolder> persist;
    ComPtr<IShellView> view;
    ItemIdList file(ILCreateFromPathW(path.c_str()));
    EXPECT_EQ(S_OK, library().getClassObject(CLSID_StorageFolder, IID_PPV_ARGS(&factory)));
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&folder)));
    EXPECT_EQ(S_OK, folder.As(&persist));
    EXPECT_EQ(S_OK, persist->Initialize(file.get()));
    EXPECT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&view)));
    return folder;
}

std::vector<BYTE> pattern(size_t size, BYTE seed) {
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<BYTE>(seed + i * 7 + i / 4096);
    return bytes;
}

void writeDiskFile(const std::wstring& path, const std::vector<BYTE>& bytes) {
    FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file &&
                WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr));
}

// Files and folders on the prefix's disk: a path ending in "\" is a folder.
void makeTree(const std::wstring& root, const std::map<std::wstring, std::vector<BYTE>>& tree) {
    for (const auto& [path, bytes] : tree) {
        if (path.back() == L'\\')
            CreateDirectoryW((root + L"\\" + path.substr(0, path.size() - 1)).c_str(), nullptr);
        else
            writeDiskFile(root + L"\\" + path, bytes);
    }
}

// A folder's data object for items named in it, as the shell asks for one.
ComPtr<IDataObject> dataObjectOf(IShellFolder* parent, const std::vector<std::wstring>& names) {
    std::vector<ItemIdList> held;
    std::vector<LPCITEMIDLIST> items;
    for (const std::wstring& name : names) {
        LPITEMIDLIST item = nullptr;
        EXPECT_EQ(S_OK, parent->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(name.c_str()),
                                                 nullptr, &item, nullptr));
        held.emplace_back(item);
        items.push_back(item);
    }
    ComPtr<IDataObject> data;
    EXPECT_EQ(S_OK, parent->GetUIObjectOf(nullptr, UINT(items.size()), items.data(),
                                          IID_IDataObject, nullptr, &data));
    return data;
}

// Wine's shell's data object for files of one folder, as Explorer hands it to a drop target.
ComPtr<IDataObject> shellDataObject(const std::wstring& folder,
                                    const std::vector<std::wstring>& names) {
    ComPtr<IShellFolder> desktop, parent;
    EXPECT_EQ(S_OK, SHGetDesktopFolder(&desktop));
    ItemIdList folderList(ILCreateFromPathW(folder.c_str()));
    EXPECT_EQ(S_OK, desktop->BindToObject(folderList.get(), nullptr, IID_PPV_ARGS(&parent)));
    return dataObjectOf(parent.Get(), names);
}

UINT format(const wchar_t* name) {
    return RegisterClipboardFormatW(name);
}

// A drop source's data object: Wine's shell's, with the DWORD formats it is
// told kept beside it (Wine's own takes none, Explorer's does).
class SourceDataObject : public IDataObject {
public:
    explicit SourceDataObject(ComPtr<IDataObject> shell) : shell_(std::move(shell)) {}
    std::map<UINT, DWORD> told;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDataObject) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetData(FORMATETC* etc, STGMEDIUM* medium) override {
        auto found = told.find(etc->cfFormat);
        if (found == told.end())
            return shell_->GetData(etc, medium);
        medium->tymed = TYMED_HGLOBAL;
        medium->pUnkForRelease = nullptr;
        medium->hGlobal = GlobalAlloc(GMEM_MOVEABLE, 4);
        *static_cast<DWORD*>(GlobalLock(medium->hGlobal)) = found->second;
        GlobalUnlock(medium->hGlobal);
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* etc) override { return shell_->QueryGetData(etc); }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC* etc, STGMEDIUM* medium, BOOL release) override {
        told[etc->cfFormat] = *static_cast<DWORD*>(GlobalLock(medium->hGlobal));
        GlobalUnlock(medium->hGlobal);
        if (release)
            ReleaseStgMedium(medium);
        return S_OK;
    }
    STDMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override {
        return shell_->EnumFormatEtc(direction, formats);
    }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    ComPtr<IDataObject> shell_;
};

DWORD dwordOf(IDataObject* data, const wchar_t* name) {
    FORMATETC etc{CLIPFORMAT(format(name)), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&etc, &medium)))
        return 0xFFFFFFFF;
    const DWORD value = *static_cast<DWORD*>(GlobalLock(medium.hGlobal));
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    return value;
}

// What a storage holds, read by a client of the storage server: path -> bytes,
// folders as path + "\" with no bytes; checksums checked on the way.
std::map<std::wstring, std::vector<BYTE>> storageTree(const std::wstring& storage) {
    std::map<std::wstring, std::vector<BYTE>> tree;
    std::function<void(IStorageFolder*, const std::wstring&)> walk = [&](IStorageFolder* folder,
                                                                         const std::wstring& at) {
        for (const std::wstring& name : listNames(folder)) {
            ComPtr<IStorageItem> item;
            LONG type = 0;
            check(folder->GetItemInfo(bstr(name).get(), &item));
            check(item->GetType(&type));
            if (type == StorageItemFolder) {
                tree[at + name + L"\\"];
                walk(store::test::folder(folder, name, false).Get(), at + name + L"\\");
                continue;
            }
            ComPtr<IStorageFile> made = file(folder, name, false);
            tree[at + name] = readFile(made.Get());
            BYTE sum[16];
            check(made->ComputeChecksum(sum));
            GUID asGuid;
            std::memcpy(&asGuid, sum, 16);
            wchar_t expected[40];
            StringFromGUID2(asGuid, expected, 40);
            EXPECT_EQ(
                0, _wcsicmp(expected, textProperty(made.Get(), StorageProperty_Checksum).c_str()))
                << "checksum of " << narrow(at + name);
        }
    };
    ComPtr<IStorageFolder> root = openStorage(connectServer().Get(), storage);
    ComPtr<IStorageObject> object;
    check(root.As(&object));
    unlock(object.Get());
    walk(root.Get(), L"");
    return tree;
}

const std::wstring kUnicode = L"\u00c4rger \u65e5\u672c";

// The progress dialog of a transfer: the robot leaves it to the library.
Box progress(const wchar_t* title) {
    return Box().messageBox(false).caption(title);
}

Box overwriteQuestion(const std::wstring& name) {
    return Box()
        .caption(L"Coffrex")
        .textContaining(L"File '" + name + L"' already exists.\nOverwrite it?");
}

Box errorBox(const std::wstring& prefix, HRESULT hr) {
    return Box()
        .caption(L"Coffrex")
        .icon(Icon::Error)
        .text(prefix + L"\n\n" + server::errorText(static_cast<DWORD>(hr)));
}

class TransferTest : public testing::Test {
protected:
    void SetUp() override {
        storage_ = scratch_.file(L"transfer.demo-coffrex");
        createStorage(connectServer().Get(), storage_);
        disk_ = scratch_.file(L"disk");
        CreateDirectoryW(disk_.c_str(), nullptr);
        folder_ = openFolder(storage_);
        ASSERT_EQ(S_OK,
                  folder_->GetUIObjectOf(nullptr, 0, nullptr, IID_IDropTarget, nullptr, &target_));
        robot_.allow(progress(L"Copying...")).leaveOpen();
        robot_.allow(progress(L"Moving...")).leaveOpen();
    }
    void TearDown() override {
        target_.Reset();
        folder_.Reset();
        robot_.verify();
        EXPECT_EQ(S_OK, library().canUnloadNow()) << "an object of the library is still alive";
    }

    // Drops names of the disk folder with the keys held; the effect performed.
    DWORD drop(IDataObject* data, DWORD keys = MK_LBUTTON) {
        DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        EXPECT_EQ(S_OK, target_->DragEnter(data, keys, {0, 0}, &effect));
        effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        EXPECT_EQ(S_OK, target_->Drop(data, keys, {0, 0}, &effect));
        return effect;
    }
    DWORD drop(const std::vector<std::wstring>& names, DWORD keys = MK_LBUTTON) {
        return drop(shellDataObject(disk_, names).Get(), keys);
    }

    // The shell's change notifications below the storage while action runs,
    // as "event name-of-the-item".
    std::vector<std::wstring> notificationsDuring(const std::function<void()>& action) {
        static std::vector<std::wstring>* seen = nullptr;
        std::vector<std::wstring> events;
        seen = &events;
        HWND window =
            CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(
            window, GWLP_WNDPROC, LONG_PTR(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
                PIDLIST_ABSOLUTE* lists = nullptr;
                LONG event = 0;
                if (HANDLE lock = m == WM_APP ? SHChangeNotification_Lock(HANDLE(wp), DWORD(lp),
                                                                          &lists, &event)
                                              : nullptr) {
                    seen->push_back(std::to_wstring(event) + L" " +
                                    folder::nameOf(ILFindLastID(lists[0])));
                    SHChangeNotification_Unlock(lock);
                }
                return DefWindowProcW(w, m, wp, lp);
            }));
        ItemIdList storage(ILCreateFromPathW(storage_.c_str()));
        SHChangeNotifyEntry entry{storage.get(), TRUE};
        const ULONG id = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_NewDelivery,
                                                SHCNE_ALLEVENTS, WM_APP, 1, &entry);
        action();
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&message);
        SHChangeNotifyDeregister(id);
        DestroyWindow(window);
        return events;
    }

    // The storage's data object for items of its root, by name.
    ComPtr<IDataObject> storageDataObject(const std::vector<std::wstring>& names) {
        return dataObjectOf(folder_.Get(), names);
    }

    ScratchFolder scratch_;
    std::wstring storage_, disk_;
    UiRobot robot_;
    ComPtr<IShellFolder2> folder_;
    ComPtr<IDropTarget> target_;
};

const std::map<std::wstring, std::vector<BYTE>> kTree = {
    {L"Reports\\", {}},
    {L"Reports\\Spring\\", {}},
    {L"Reports\\Spring\\q1.txt", pattern(5000, 1)},
    {L"Reports\\empty.bin", {}},
    {L"Reports\\Hollow\\", {}},
    {L"Reports\\" + kUnicode + L".dat", pattern(4096 * 3 + 17, 2)},
    {L"single.bin", pattern(70000, 3)},
};

TEST_F(TransferTest, KeysChooseTheEffectAndStorageItemsAreRefused) {
    makeTree(disk_, {{L"a.txt", pattern(10, 0)}});
    const struct {
        DWORD keys, effect;
    } rule[] = {
        {0, DROPEFFECT_COPY},
        {MK_LBUTTON, DROPEFFECT_COPY},
        {MK_LBUTTON | MK_CONTROL, DROPEFFECT_COPY},
        {MK_LBUTTON | MK_SHIFT, DROPEFFECT_MOVE},
        {MK_LBUTTON | MK_ALT, DROPEFFECT_MOVE},
        {MK_RBUTTON, DROPEFFECT_MOVE},
        {MK_LBUTTON | MK_CONTROL | MK_SHIFT, DROPEFFECT_NONE},
        {MK_RBUTTON | MK_ALT, DROPEFFECT_NONE},
    };
    ComPtr<IDataObject> files = shellDataObject(disk_, {L"a.txt"});
    for (const auto& row : rule) {
        DWORD entered = 7, over = 7;
        EXPECT_EQ(S_OK, target_->DragEnter(files.Get(), row.keys, {0, 0}, &entered));
        EXPECT_EQ(S_OK, target_->DragOver(row.keys, {1, 1}, &over));
        EXPECT_EQ(row.effect, entered) << row.keys;
        EXPECT_EQ(row.effect, over) << row.keys;
    }
    EXPECT_EQ(S_OK, target_->DragLeave());

    // Items of a storage, over this storage or dropped on it: no effect, nothing written.
    robot_.expect(progress(L"Copying...")).leaveOpen();
    EXPECT_EQ(DROPEFFECT_COPY, drop({L"a.txt"}));
    ComPtr<IDataObject> own = storageDataObject({L"a.txt"});
    DWORD effect = DROPEFFECT_COPY;
    EXPECT_EQ(S_OK, target_->DragEnter(own.Get(), MK_LBUTTON, {0, 0}, &effect));
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), effect);
    effect = DROPEFFECT_COPY;
    EXPECT_EQ(S_OK, target_->DragOver(MK_LBUTTON, {0, 0}, &effect));
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), effect);
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop(own.Get()));
    EXPECT_EQ(1u, storageTree(storage_).size());
}

TEST_F(TransferTest, DropsCopyAndMoveTreesWhole) {
    makeTree(disk_, kTree);
    robot_.expect(progress(L"Copying...")).leaveOpen();
    EXPECT_EQ((std::vector<std::wstring>{std::to_wstring(SHCNE_MKDIR) + L" Reports",
                                         std::to_wstring(SHCNE_CREATE) + L" single.bin"}),
              notificationsDuring([&] {
                  EXPECT_EQ(DWORD(DROPEFFECT_COPY), drop({L"Reports", L"single.bin"}));
              }));
    EXPECT_EQ(kTree, storageTree(storage_));

    // A move is a copy told to the source, which then deletes its own files.
    // Dropping the folder again merges into it: new files added, the others asked about.
    makeTree(disk_, {{L"Reports\\new.txt", pattern(3, 9)}});
    robot_.expect(progress(L"Moving...")).leaveOpen();
    for (const std::wstring& name :
         {std::wstring(L"q1.txt"), std::wstring(L"empty.bin"), kUnicode + L".dat"})
        robot_.expect(overwriteQuestion(name)).answer(IDNO);
    SourceDataObject source(shellDataObject(disk_, {L"Reports"}));
    EXPECT_TRUE(notificationsDuring([&] {
                    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop(&source, MK_LBUTTON | MK_SHIFT))
                        << "a file kept is a move not complete";
                }).empty())
        << "a merged folder is not created again";
    robot_.expect(progress(L"Moving...")).leaveOpen();
    SourceDataObject single(shellDataObject(disk_, {L"single.bin"}));
    robot_.expect(overwriteQuestion(L"single.bin")).answer(IDYES);
    EXPECT_EQ(std::vector<std::wstring>{std::to_wstring(SHCNE_UPDATEITEM) + L" single.bin"},
              notificationsDuring([&] {
                  EXPECT_EQ(DWORD(DROPEFFECT_MOVE), drop(&single, MK_LBUTTON | MK_SHIFT));
              }));
    EXPECT_EQ((std::map<UINT, DWORD>{{format(L"Performed DropEffect"), DROPEFFECT_MOVE},
                                     {format(L"Paste Succeeded"), DROPEFFECT_MOVE},
                                     {format(L"Preferred DropEffect"), DROPEFFECT_MOVE}}),
              single.told);
    auto expected = kTree;
    expected[L"Reports\\new.txt"] = pattern(3, 9);
    EXPECT_EQ(expected, storageTree(storage_));
}

TEST_F(TransferTest, OverwriteQuestionsAndTheCheckBoxForAll) {
    makeTree(disk_, {{L"a.txt", {0}}, {L"b.txt", {0}}, {L"c.txt", {0}}});
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"a.txt", L"b.txt", L"c.txt"});
    // The check box ticks the box: Yes for every later conflict of this drop only.
    auto tickForAll = [](const BoxRecord& box) {
        for (const auto& control : box.controls)
            if ((control.style & 0xF) == BS_AUTOCHECKBOX || (control.style & 0xF) == BS_CHECKBOX)
                SendMessageW(control.window, BM_SETCHECK, BST_CHECKED, 0);
        return true;
    };
    const struct {
        std::vector<std::wstring> names;
        std::vector<int> answers; // one a question; 0: yes with the check box
        std::map<std::wstring, std::vector<BYTE>> after;
    } cases[] = {
        {{L"a.txt"}, {IDNO}, {{L"a.txt", {0}}}},
        {{L"a.txt"}, {IDYES}, {{L"a.txt", pattern(100, 1)}}},
        {{L"b.txt", L"c.txt"}, {IDYES, IDNO}, {{L"b.txt", pattern(200, 2)}, {L"c.txt", {0}}}},
        {{L"a.txt", L"b.txt", L"c.txt"}, {0}, {{L"c.txt", pattern(300, 3)}}},
        {{L"a.txt", L"b.txt"}, {IDNO, IDNO}, {{L"a.txt", pattern(100, 1)}}}, // asked again
    };
    makeTree(
        disk_,
        {{L"a.txt", pattern(100, 1)}, {L"b.txt", pattern(200, 2)}, {L"c.txt", pattern(300, 3)}});
    for (const auto& c : cases) {
        robot_.expect(progress(L"Copying...")).leaveOpen();
        for (size_t i = 0; i < c.answers.size(); ++i) {
            Box question = overwriteQuestion(c.names[i]);
            if (c.answers[i] == 0)
                robot_.expect(question.where(tickForAll)).answer(IDYES);
            else
                robot_.expect(question).answer(c.answers[i]);
        }
        drop(c.names);
        robot_.verify();
        const auto stored = storageTree(storage_);
        for (const auto& [name, bytes] : c.after)
            EXPECT_EQ(bytes, stored.at(name)) << narrow(name);
    }
}

TEST_F(TransferTest, ACancelLeavesNoPartialFileAndAFolderKeepsWhatWasComplete) {
    std::map<std::wstring, std::vector<BYTE>> tree{{L"F\\", {}}};
    for (int i = 0; i < 6; ++i)
        tree[L"F\\" + std::to_wstring(i) + L".bin"] = pattern(9000, BYTE(i));
    tree[L"F\\clash.bin"] = pattern(20000, 7);
    tree[L"later.bin"] = pattern(10, 8);
    makeTree(disk_, {{L"F\\", {}}, {L"F\\clash.bin", {0}}, {L"later.bin", {0}}});
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"F", L"later.bin"});
    makeTree(disk_, tree);

    // At the first question the user presses Cancel on the progress dialog, then Yes.
    auto cancelTransfer = [](const BoxRecord&) {
        if (HWND dialog = FindWindowW(nullptr, L"Copying..."))
            SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return true;
    };
    robot_.expect(progress(L"Copying...")).leaveOpen();
    robot_.expect(overwriteQuestion(L"clash.bin").where(cancelTransfer)).answer(IDYES);
    // The next top-level file is still opened and asked about, then removed by the cancel.
    robot_.expect(overwriteQuestion(L"later.bin")).answer(IDYES);
    EXPECT_EQ(DWORD(DROPEFFECT_COPY), drop({L"F", L"later.bin"}));
    const auto stored = storageTree(storage_);
    EXPECT_EQ(0u, stored.count(L"F\\clash.bin")) << "the cancelled file is gone";
    EXPECT_EQ(0u, stored.count(L"later.bin"));
    for (const auto& [path, bytes] : stored)
        EXPECT_EQ(tree.at(path), bytes) << narrow(path) << " is whole";
}

TEST_F(TransferTest, BadSourcesGiveAClearErrorAndWriteNothing) {
    makeTree(disk_, {{L"fine.txt", pattern(10, 1)}});
    // Not a file-system object (the computer): the size message.
    ItemIdList desktop, computer;
    ASSERT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, desktop.put()));
    ASSERT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, computer.put()));
    ComPtr<IDataObject> special;
    LPCITEMIDLIST item = computer.get();
    ASSERT_EQ(S_OK, CIDLData_CreateFromIDArray(desktop.get(), 1, &item, &special));
    robot_.expect(progress(L"Copying...")).leaveOpen();
    robot_
        .expect(
            Box()
                .caption(L"Coffrex")
                .icon(Icon::Error)
                .text(
                    L"Unable to calculate source size.\nProbably the objects you try to copy into "
                    L"storage "
                    L"are not file system objects or an access is denied due to security reasons."))
        .answer(IDOK);
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop(special.Get()));

    // A file in use by a writer: its reason, nothing written.
    FileHandle writer(CreateFileW((disk_ + L"\\fine.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    robot_.expect(progress(L"Copying...")).leaveOpen();
    robot_
        .expect(errorBox(L"Unable to copy '" + disk_ + L"\\fine.txt'",
                         HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)))
        .answer(IDOK);
    EXPECT_EQ(DWORD(DROPEFFECT_NONE), drop({L"fine.txt"}));
    EXPECT_TRUE(storageTree(storage_).empty());
}

TEST_F(TransferTest, CopiesOutThroughTheVirtualFilesByteForByte) {
    makeTree(disk_, kTree);
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"Reports", L"single.bin"});
    ComPtr<IDataObject> data = storageDataObject({L"Reports", L"single.bin"});

    FORMATETC group{CLIPFORMAT(format(CFSTR_FILEDESCRIPTORW)), nullptr, DVASPECT_CONTENT, -1,
                    TYMED_HGLOBAL};
    FORMATETC contents{CLIPFORMAT(format(CFSTR_FILECONTENTS)), nullptr, DVASPECT_CONTENT, 0,
                       TYMED_ISTREAM};
    STGMEDIUM medium{};
    EXPECT_EQ(DV_E_LINDEX, data->GetData(&contents, &medium)) << "before any descriptor";
    ASSERT_EQ(S_OK, data->GetData(&group, &medium));
    const auto* block = static_cast<const BYTE*>(GlobalLock(medium.hGlobal));
    UINT count = 0;
    std::memcpy(&count, block, 4);
    ASSERT_EQ(4 + 592 * count, GlobalSize(medium.hGlobal));
    std::map<std::wstring, std::vector<BYTE>> out;
    for (UINT i = 0; i < count; ++i) {
        const BYTE* record = block + 4 + 592 * i;
        DWORD flags, attributes, high, low;
        std::memcpy(&flags, record, 4);
        std::memcpy(&attributes, record + 36, 4);
        std::memcpy(&high, record + 64, 4);
        std::memcpy(&low, record + 68, 4);
        const std::wstring name = reinterpret_cast<const wchar_t*>(record + 72);
        const size_t slash = name.rfind(L'\\');
        if (slash != std::wstring::npos) {
            EXPECT_EQ(1u, out.count(name.substr(0, slash + 1))) << "a folder before its contents";
        }
        if (attributes == FILE_ATTRIBUTE_DIRECTORY) {
            EXPECT_EQ(0x403Cu, flags);
            out[name + L"\\"];
            continue;
        }
        EXPECT_EQ(0x407Cu, flags);
        contents.lindex = LONG(i);
        STGMEDIUM stream{};
        ASSERT_EQ(S_OK, data->GetData(&contents, &stream)) << narrow(name);
        std::vector<BYTE>& bytes = out[name];
        BYTE buffer[1000];
        for (ULONG got = 0; SUCCEEDED(stream.pstm->Read(buffer, sizeof buffer, &got)) && got;)
            bytes.insert(bytes.end(), buffer, buffer + got);
        EXPECT_EQ((ULONGLONG(high) << 32) | low, bytes.size());
        ReleaseStgMedium(&stream);
    }
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    EXPECT_EQ(kTree, out);

    // The formats the storage's object offers beyond the shell's.
    FORMATETC wrongAspect = contents;
    wrongAspect.dwAspect = 3;
    EXPECT_EQ(S_OK, data->QueryGetData(&wrongAspect));
    EXPECT_EQ(DV_E_DVASPECT, data->GetData(&wrongAspect, &medium));
    contents.tymed = TYMED_HGLOBAL;
    EXPECT_EQ(DV_E_TYMED, data->GetData(&contents, &medium));
    ComPtr<IEnumFORMATETC> formats;
    ASSERT_EQ(S_OK, data->EnumFormatEtc(DATADIR_SET, &formats));
    std::vector<std::wstring> set;
    for (FORMATETC etc; formats->Next(1, &etc, nullptr) == S_OK;) {
        wchar_t name[64] = L"";
        GetClipboardFormatNameW(etc.cfFormat, name, 64);
        set.push_back(name);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Performed DropEffect", L"Paste Succeeded"}), set);
}

TEST_F(TransferTest, TheOptimisedMoveDeletesExactlyOnce) {
    makeTree(disk_, kTree);
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"Reports", L"single.bin"});
    ComPtr<IDataObject> data = storageDataObject({L"Reports", L"single.bin"});
    auto report = [&](DWORD effect) {
        FORMATETC etc{CLIPFORMAT(format(L"Performed DropEffect")), nullptr, DVASPECT_CONTENT, -1,
                      TYMED_HGLOBAL};
        STGMEDIUM medium{TYMED_HGLOBAL};
        medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, 4);
        *static_cast<DWORD*>(GlobalLock(medium.hGlobal)) = effect;
        GlobalUnlock(medium.hGlobal);
        EXPECT_EQ(S_OK, data->SetData(&etc, &medium, TRUE));
        return storageTree(storage_).size();
    };
    EXPECT_EQ(kTree.size(), report(DROPEFFECT_MOVE)) << "no contents pulled: nothing deleted";
    FORMATETC group{CLIPFORMAT(format(CFSTR_FILEDESCRIPTORW)), nullptr, DVASPECT_CONTENT, -1,
                    TYMED_HGLOBAL};
    STGMEDIUM medium{};
    ASSERT_EQ(S_OK, data->GetData(&group, &medium));
    ReleaseStgMedium(&medium);
    EXPECT_EQ(kTree.size(), report(DROPEFFECT_COPY));
    EXPECT_EQ(0u, report(DROPEFFECT_MOVE));
    // Dropped in again: a second report deletes nothing.
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"Reports", L"single.bin"});
    EXPECT_EQ(kTree.size(), report(DROPEFFECT_MOVE));
    EXPECT_EQ(DWORD(DROPEFFECT_MOVE), dwordOf(data.Get(), L"Performed DropEffect"));
}

TEST_F(TransferTest, ClipboardRoundTrips) {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); // as on the shell's threads
    makeTree(disk_, {{L"a.txt", pattern(4000, 1)}, {L"b.txt", pattern(10, 2)}});
    // Copy and Cut of storage items: the preferred effect travels through the
    // real clipboard, and pasting them into a storage does nothing.
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"a.txt"});
    for (DWORD effect : {DROPEFFECT_COPY, DROPEFFECT_MOVE}) {
        ComPtr<IDataObject> data = storageDataObject({L"a.txt"});
        ASSERT_TRUE(effect == DROPEFFECT_COPY ? transfer::copyToClipboard(nullptr, data.Get())
                                              : transfer::cutToClipboard(nullptr, data.Get()));
        ComPtr<IDataObject> pasted;
        ASSERT_EQ(S_OK, OleGetClipboard(&pasted));
        EXPECT_EQ(effect, dwordOf(pasted.Get(), L"Preferred DropEffect"));
        EXPECT_EQ(DWORD(1), dwordOf(pasted.Get(), L"{6B3E91D2-0C4F-4A87-9E15-D27A40B85C18}"));
    }
    ComPtr<IContextMenu> background;
    ASSERT_EQ(S_OK, folder_->CreateViewObject(nullptr, IID_PPV_ARGS(&background)));
    CMINVOKECOMMANDINFO paste{sizeof paste};
    paste.lpVerb = "paste";
    EXPECT_EQ(S_OK, background->InvokeCommand(&paste));
    EXPECT_EQ(1u, storageTree(storage_).size());

    // Files of the computer: without a preferred effect a paste copies; with
    // a move preferred, the source is told the move was done.
    SourceDataObject copied(shellDataObject(disk_, {L"b.txt"}));
    ASSERT_EQ(S_OK, OleSetClipboard(&copied));
    robot_.expect(progress(L"Copying...")).leaveOpen();
    EXPECT_EQ(S_OK, background->InvokeCommand(&paste));
    OleFlushClipboard();
    EXPECT_EQ(pattern(10, 2), storageTree(storage_).at(L"b.txt"));
    SourceDataObject moved(shellDataObject(disk_, {L"b.txt"}));
    moved.told[format(L"Preferred DropEffect")] = DROPEFFECT_MOVE;
    ASSERT_EQ(S_OK, OleSetClipboard(&moved));
    robot_.expect(progress(L"Moving...")).leaveOpen();
    robot_.expect(overwriteQuestion(L"b.txt")).answer(IDYES);
    EXPECT_EQ(S_OK, background->InvokeCommand(&paste));
    OleSetClipboard(nullptr);
    // Known to differ: Wine's clipboard object does not pass SetData on to the
    // source, so under Wine the source never learns of the move (nothing is lost:
    // its files stay). Windows' clipboard passes it on.
    EXPECT_EQ(runningUnderWine() ? 0u : 1u, moved.told.count(format(L"Performed DropEffect")));
    EXPECT_EQ(0u, copied.told.count(format(L"Performed DropEffect")));
    OleUninitialize();
}

TEST(TransferText, ByteSizes) {
    const struct {
        std::uint64_t count;
        int mode;
        const wchar_t* text;
    } cases[] = {
        {1234567, 0, L"1 234 567"},  {1234567, 1, L"1,234,567"}, {999, 0, L"999"},
        {1023, 2, L"1023 bytes"},    {1024, 2, L"1.00 Kb"},      {1048575, 2, L"1024.00 Kb"},
        {1048576, 2, L"1.00 Mb"},    {1572864, 2, L"1.50 Mb"},   {5ull << 30, 2, L"5.00 Gb"},
        {3ull << 40, 2, L"3.00 Tb"}, {1234567, 3, L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, transfer::formatByteSize(c.count, c.mode)) << c.count << " " << c.mode;
}

// Sizes are 64-bit. A storage cannot hold a file past 4 GiB under Wine (its
// compound files stop there), so the record is made for a stand-in item.
TEST(TransferDescriptor, RecordsOfFilesBeyondFourGibibytesAndOfFolders) {
    auto item = cfx::test::FakeStorageItem::create();
    const ItemTimes times{{1, 2}, {3, 4}, {5, 6}};
    item->setTimes(times);
    item->setName(L"huge.bin");
    item->setSize((5ull << 30) + 3);
    FILEDESCRIPTORW record = transfer::fileDescriptorOf(item.get(), L"A\\B");
    EXPECT_EQ(
        std::make_tuple(0x407Cul, 0x80ul, 1ul, (1ul << 30) + 3, std::wstring(L"A\\B\\huge.bin")),
        std::make_tuple(record.dwFlags, record.dwFileAttributes, record.nFileSizeHigh,
                        record.nFileSizeLow, std::wstring(record.cFileName)));
    EXPECT_EQ(std::make_tuple(3ul, 1ul, 5ul),
              std::make_tuple(record.ftCreationTime.dwLowDateTime,
                              record.ftLastAccessTime.dwLowDateTime,
                              record.ftLastWriteTime.dwLowDateTime));
    item->setType(StorageItemFolder);
    record = transfer::fileDescriptorOf(item.get(), L"");
    EXPECT_EQ(std::make_tuple(0x403Cul, 0x10ul, 0ul, 0ul),
              std::make_tuple(record.dwFlags, record.dwFileAttributes, record.nFileSizeHigh,
                              record.nFileSizeLow));
    item->setName(std::wstring(259, L'n'));
    EXPECT_THROW(transfer::fileDescriptorOf(item.get(), L"x"), _com_error) << "260 units";
    item->setType(3);
    EXPECT_THROW(transfer::fileDescriptorOf(item.get(), L""), _com_error) << "unknown kind";
}

// Dragging out onto a folder of the computer, as Explorer's own drop target
// takes it. Known to differ: Wine's file-system drop target takes only
// dropped paths (CF_HDROP), never virtual files, so under Wine it refuses the
// drag and writes nothing; Windows' copies the files out.
TEST_F(TransferTest, AFolderOfTheComputerAsTheDropTarget) {
    makeTree(disk_, {{L"out.txt", pattern(100, 4)}});
    robot_.expect(progress(L"Copying...")).leaveOpen();
    drop({L"out.txt"});
    const std::wstring outside = scratch_.file(L"outside");
    CreateDirectoryW(outside.c_str(), nullptr);
    ComPtr<IShellFolder> desktop, folder;
    ASSERT_EQ(S_OK, SHGetDesktopFolder(&desktop));
    ItemIdList list(ILCreateFromPathW(outside.c_str()));
    ASSERT_EQ(S_OK, desktop->BindToObject(list.get(), nullptr, IID_PPV_ARGS(&folder)));
    ComPtr<IDropTarget> target;
    ASSERT_EQ(S_OK, folder->CreateViewObject(nullptr, IID_PPV_ARGS(&target)));
    ComPtr<IDataObject> data = storageDataObject({L"out.txt"});
    DWORD entered = DROPEFFECT_COPY, dropped = DROPEFFECT_COPY;
    const HRESULT enter = target->DragEnter(data.Get(), MK_LBUTTON, {0, 0}, &entered);
    const HRESULT drop = target->Drop(data.Get(), MK_LBUTTON, {0, 0}, &dropped);
    const bool copied =
        GetFileAttributesW((outside + L"\\out.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(!runningUnderWine(), copied) << std::hex << "DragEnter " << enter << " effect "
                                           << entered << ", Drop " << drop << " effect " << dropped;
}

// --- In a process of its own: a killed server spoils activation for the rest of a Wine session.

// The server dies while a large file is being copied: the error box, what came
// before stays whole, and the storage holds no part of the file.
TEST(TransferIsolated, ServerKilledInTheMiddleOfAnImport) {
    ScratchFolder scratch;
    const std::wstring storage = scratch.file(L"killed.demo-coffrex");
    const std::wstring disk = scratch.file(L"disk");
    createStorage(connectServer().Get(), storage);
    CreateDirectoryW(disk.c_str(), nullptr);
    const std::vector<BYTE> first = pattern(10000, 1), big = pattern(24 << 20, 2);
    makeTree(disk, {{L"first.bin", first}, {L"big.bin", big}, {L"last.bin", pattern(10, 3)}});
    KernelHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                    serverProcessOf(connectServer().Get())));
    UiRobot robot;
    robot.allow(progress(L"Copying...")).leaveOpen();
    robot
        .expect(Box()
                    .caption(L"Coffrex")
                    .icon(Icon::Error)
                    .textContaining(L"Unable to copy '" + disk + L"\\big.bin'\n\n"))
        .answer(IDOK);
    // Kills the server once big.bin is partly copied (the bar past 5 %).
    std::thread killer([&] {
        bool copying = false;
        for (int i = 0; i < 6000; ++i, Sleep(5)) {
            HWND dialog = FindWindowW(nullptr, L"Copying...");
            wchar_t line[200] = L"";
            for (HWND child = dialog ? GetWindow(dialog, GW_CHILD) : nullptr; child;
                 child = GetWindow(child, GW_HWNDNEXT)) {
                GetWindowTextW(child, line, 200);
                if (std::wcsstr(line, L"'big.bin'"))
                    copying = true;
                if (copying && GetClassNameW(child, line, 200) &&
                    std::wcscmp(line, PROGRESS_CLASSW) == 0 &&
                    SendMessageW(child, PBM_GETPOS, 0, 0) >= 5) {
                    TerminateProcess(server.get(), 9);
                    return;
                }
            }
        }
    });
    {
        ComPtr<IShellFolder2> folder = openFolder(storage);
        ComPtr<IDropTarget> target;
        ASSERT_EQ(S_OK,
                  folder->GetUIObjectOf(nullptr, 0, nullptr, IID_IDropTarget, nullptr, &target));
        ComPtr<IDataObject> data = shellDataObject(disk, {L"first.bin", L"big.bin", L"last.bin"});
        DWORD effect = DROPEFFECT_COPY;
        EXPECT_EQ(S_OK, target->Drop(data.Get(), MK_LBUTTON, {0, 0}, &effect));
        EXPECT_EQ(DWORD(DROPEFFECT_NONE), effect);
    }
    killer.join();
    robot.verify();
    // The storage as a new server would find it (under Wine the dead server's
    // registration stays for the session: the engine reads it here).
    WaitForSingleObject(server.get(), 10000);
    auto container = store::Container::open(storage);
    unlockWithInstalledKey(*container);
    std::vector<std::wstring> names;
    for (const store::Item& item : container->root().children())
        names.push_back(item.name());
    EXPECT_EQ((std::vector<std::wstring>{L"first.bin", L"big.bin.cfxpartial"}), names)
        << "nothing under big.bin's own name";
    store::FileStream stream = container->root().item(L"first.bin").openStream();
    std::vector<BYTE> read(first.size() + 1);
    read.resize(stream.read(0, read.data(), static_cast<ULONG>(read.size())));
    EXPECT_EQ(first, read);
}

} // namespace
} // namespace cfx::transfertest
