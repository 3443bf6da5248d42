#include "FolderLocation.h"

#include "Report.h"

#include <shlwapi.h>

#include <new>

using Microsoft::WRL::ComPtr;

namespace cfxbrowse {

ItemIdList cloneList(PCUIDLIST_RELATIVE list) {
    static const USHORT kEmpty = 0; // the terminator alone: the desktop's list
    ItemIdList copy(ILClone(list ? list : reinterpret_cast<PCUIDLIST_RELATIVE>(&kEmpty)));
    if (!copy)
        throw std::bad_alloc();
    return copy;
}

namespace {

std::optional<std::wstring> classesValue(const std::wstring& key) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(value);
}

bool isFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The file-system path of a list, when it has one.
std::optional<std::wstring> pathOf(PCIDLIST_ABSOLUTE list) {
    wchar_t path[MAX_PATH];
    if (!SHGetPathFromIDListW(list, path))
        return std::nullopt;
    return std::wstring(path);
}

ComPtr<IShellFolder> createFolder(const CLSID& folderClass, PCIDLIST_ABSOLUTE file,
                                  const std::wstring& path) {
    ComPtr<IPersistFolder> persist;
    check(CoCreateInstance(folderClass, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&persist)),
          L"creating the folder object for " + quoted(path));
    check(persist->Initialize(file), L"opening " + quoted(path));
    ComPtr<IShellFolder> folder;
    check(persist.As(&folder), L"opening " + quoted(path));
    return folder;
}

// One step down: the child of `at` named by the first item of `item`.
FolderLocation step(const FolderLocation& at, PCUIDLIST_RELATIVE item) {
    FolderLocation next;
    ItemIdList child(ILCloneFirst(item));
    if (!child)
        throw std::bad_alloc();
    next.absolute.reset(ILCombine(at.absolute.get(), child.get()));
    if (!next.absolute)
        throw std::bad_alloc();
    next.name = itemName(at.folder.Get(), child.get(), SHGDN_NORMAL);

    std::optional<std::wstring> path;
    if (!at.insideFile)
        path = pathOf(next.absolute.get());
    if (path && isFile(*path)) {
        std::optional<CLSID> folderClass = folderClassOfFile(*path);
        if (!folderClass)
            throw cfx::DescribedError(HRESULT_FROM_WIN32(ERROR_DIRECTORY),
                                      quoted(*path) + L" is not a folder");
        next.folder = createFolder(*folderClass, next.absolute.get(), *path);
        next.insideFile = true;
        return next;
    }
    HRESULT hr = at.folder->BindToObject(child.get(), nullptr, IID_PPV_ARGS(&next.folder));
    if (FAILED(hr)) {
        const std::wstring shown = itemName(at.folder.Get(), child.get(), SHGDN_FORPARSING);
        if (!opensAsFolder(at, child.get()))
            throw cfx::DescribedError(hr, quoted(shown) + L" is not a folder");
        fail(L"opening " + quoted(shown), hr);
    }
    next.insideFile = at.insideFile;
    return next;
}

FolderLocation descend(FolderLocation at, PCUIDLIST_RELATIVE list) {
    for (PCUIDLIST_RELATIVE item = list; item && !ILIsEmpty(item); item = ILNext(item))
        at = step(at, item);
    return at;
}

} // namespace

std::optional<CLSID> folderClassOfFile(const std::wstring& path) {
    const wchar_t* extension = PathFindExtensionW(path.c_str());
    if (!*extension)
        return std::nullopt;
    std::optional<std::wstring> progId = classesValue(extension);
    if (!progId)
        return std::nullopt;
    // The current version of a version-independent ProgID names the class.
    if (std::optional<std::wstring> current = classesValue(*progId + L"\\CurVer"))
        if (classesValue(*current + L"\\CLSID"))
            progId = current;
    std::optional<std::wstring> classText = classesValue(*progId + L"\\CLSID");
    CLSID folderClass{};
    if (!classText || FAILED(CLSIDFromString(classText->c_str(), &folderClass)))
        return std::nullopt;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + *classText + L"\\ShellFolder").c_str(), 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    RegCloseKey(key);
    return folderClass;
}

std::wstring itemName(IShellFolder* folder, PCUITEMID_CHILD item, SHGDNF flags) {
    STRRET name{};
    wchar_t* text = nullptr;
    if (FAILED(folder->GetDisplayNameOf(item, flags, &name)) ||
        FAILED(StrRetToStrW(&name, item, &text)))
        return std::wstring();
    std::wstring result(text);
    CoTaskMemFree(text);
    return result;
}

bool opensAsFolder(const FolderLocation& location, PCUITEMID_CHILD item) {
    SFGAOF attributes = SFGAO_FOLDER;
    if (SUCCEEDED(location.folder->GetAttributesOf(1, &item, &attributes)) &&
        (attributes & SFGAO_FOLDER))
        return true;
    if (location.insideFile)
        return false;
    ItemIdList absolute(ILCombine(location.absolute.get(), item));
    if (!absolute)
        throw std::bad_alloc();
    std::optional<std::wstring> path = pathOf(absolute.get());
    return path && isFile(*path) && folderClassOfFile(*path);
}

FolderLocation openAbsolute(PCIDLIST_ABSOLUTE list) {
    FolderLocation desktop;
    check(SHGetDesktopFolder(&desktop.folder), L"opening the desktop");
    desktop.absolute = cloneList(nullptr);
    desktop.name = itemName(desktop.folder.Get(), desktop.absolute.get(), SHGDN_NORMAL);
    return descend(std::move(desktop), list);
}

FolderLocation openRelative(const FolderLocation& from, PCUIDLIST_RELATIVE list) {
    FolderLocation start;
    start.absolute = cloneList(from.absolute.get());
    start.folder = from.folder;
    start.name = from.name;
    start.insideFile = from.insideFile;
    return descend(std::move(start), list);
}

FolderLocation openPath(const std::wstring& path) {
    std::wstring full = path;
    // "::{CLSID}" names are the shell's own; everything else is a file-system path.
    if (path.compare(0, 2, L"::") != 0) {
        wchar_t buffer[MAX_PATH];
        DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
        if (!length || length >= MAX_PATH)
            fail(L"opening " + quoted(path), HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
        full.assign(buffer, length);
    }
    PIDLIST_ABSOLUTE parsed = nullptr;
    check(SHParseDisplayName(full.c_str(), nullptr, &parsed, 0, nullptr),
          L"opening " + quoted(full));
    ItemIdList list(parsed);
    return openAbsolute(list.get());
}

} // namespace cfxbrowse
