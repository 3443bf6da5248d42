// What the storage folder's tests share: cfxview.dll loaded the way the shell
// loads it, storage folders made and initialised through its COM surface on
// storages of the real storage server, and the shell's views of an item (its
// display name, its cells, the identifiers of a listing).
#pragma once

#include "storeserver/RemoteStorage.h"
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
#include "folder/StorageItemId.h"

#include <shlobj.h>

#include <string>
#include <vector>

namespace cfx::foldertest {

using Microsoft::WRL::ComPtr;
using store::test::ScratchFolder;
using cfx::folder::ItemIdList;

// The library, loaded once for the program.
cfx::test::LoadedLibrary& library();

// A root storage folder from the library's class factory, initialised with the
// storage file's item identifier list; Initialize must give expected.
ComPtr<IShellFolder2> openFolder(const std::wstring& path, HRESULT expected = S_OK);
// The same, unlocked as the shell does before listing: a view is asked for.
ComPtr<IShellFolder2> unlockedFolder(const std::wstring& path);

// The children the folder lists, in the order it lists them.
std::vector<ItemIdList> listChildren(IShellFolder2* folder,
                                     SHCONTF flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS);
std::vector<std::wstring> namesOf(IShellFolder2* folder, const std::vector<ItemIdList>& items);
LPCITEMIDLIST childNamed(IShellFolder2* folder, const std::vector<ItemIdList>& items,
                         const std::wstring& name);

// GetDisplayNameOf and GetDetailsOf as text; the failure HRESULT as "0x..." text.
std::wstring displayName(IShellFolder2* folder, LPCITEMIDLIST item, SHGDNF flags);
std::wstring cell(IShellFolder2* folder, LPCITEMIDLIST item, UINT column);

// An identifier of the library's documented layout, followed by the list's
// terminator: what the shell keeps in shortcuts and view state.
std::vector<BYTE> craftedId(const std::wstring& name, DWORD kind, ULONGLONG size);
inline LPCITEMIDLIST asList(const std::vector<BYTE>& bytes) {
    return reinterpret_cast<LPCITEMIDLIST>(bytes.data());
}

// The storage key of a storage made for the first test certificate, recovered
// with its private key; and a comment enciphered with it, as the Comment
// property holds it.
std::vector<BYTE> storageKeyOf(IStorageObject* storage);
void writeComment(IStorageObject* item, const std::vector<BYTE>& key, const std::wstring& text);

// The certificate of a test key file (bin/testkeys/<name>.pfx), which is not
// installed for the current user.
store::test::KeyCertificate certificateOfKeyFile(const wchar_t* name);

// "Hide extensions of known file types" set so that SHGetSettings reports it
// (Wine 8 reads the registry value the other way round from Windows).
void hideExtensions(bool hide);

// The error box of the library after a text naming the failed action.
cfx::test::Box errorBox(const std::wstring& prefix, HRESULT hr);

} // namespace cfx::foldertest
