#include "Transfer.h"

#include "Console.h"
#include "PropertyText.h"
#include "ToolError.h"

#include "StoreError.h"

#include <algorithm>
#include <vector>

using cfx::store::quoted;

namespace cfx::tool {

namespace {

constexpr ULONG kBlockSize = 64 * 1024;
// Smaller files are copied before a person would look at a percentage.
constexpr ULONGLONG kProgressFrom = 1 << 20;

// "name: 42%" on stderr: rewritten in place on a console, else one line at
// every tenth, for files large enough to take a while.
class Progress {
public:
    Progress(std::wstring label, ULONGLONG total)
        : label_(std::move(label)), total_(total), shown_(total > kProgressFrom),
          inPlace_(shown_ && isConsole(Channel::Err)) {}
    ~Progress() {
        if (lineOpen_)
            err(L"\n");
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(ULONGLONG bytes) {
        done_ += bytes;
        if (!shown_)
            return;
        int percent = static_cast<int>(std::min(done_, total_) * 100 / total_);
        if (inPlace_ && percent != last_) {
            err(L"\r" + label_ + L": " + std::to_wstring(percent) + L"%");
            lineOpen_ = true;
        } else if (!inPlace_ && percent / 10 > last_ / 10) {
            err(label_ + L": " + std::to_wstring(percent / 10 * 10) + L"%\n");
        }
        last_ = percent;
    }

private:
    std::wstring label_;
    ULONGLONG total_;
    ULONGLONG done_ = 0;
    bool shown_;
    bool inPlace_;
    bool lineOpen_ = false;
    int last_ = 0;
};

std::wstring lastName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool isFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void putFile(IStorageFolder* folder, const std::wstring& name, const std::wstring& local,
             const std::wstring& shown, TransferCount& count) {
    const std::wstring action = L"copying " + quoted(local) + L" to " + quoted(shown);
    FileHandle source(CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
        failLastError(L"reading " + quoted(local));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(source.get(), &size))
        failLastError(L"reading " + quoted(local));

    ComPtr<IStorageFile> file = openFile(folder, name, shown, true);
    try {
        ULONGLONG before = 0;
        check(file->GetSize(&before), action);
        ComPtr<IStream> stream;
        check(file->OpenStream(&stream), action);
        Progress progress(shown, static_cast<ULONGLONG>(size.QuadPart));
        std::vector<BYTE> buffer(kBlockSize);
        ULONGLONG written = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(source.get(), buffer.data(), kBlockSize, &got, nullptr))
                failLastError(L"reading " + quoted(local));
            if (got == 0)
                break;
            ULONG put = 0;
            check(stream->Write(buffer.data(), got, &put), action);
            if (put != got)
                fail(action, STG_E_WRITEFAULT);
            written += got;
            progress.advance(got);
        }
        if (before > written) { // the file was there, longer
            ULARGE_INTEGER end;
            end.QuadPart = written;
            check(stream->SetSize(end), action);
        }
        check(stream->Commit(STGC_DEFAULT), action);
        stream.Reset();

        BYTE checksum[16] = {};
        check(file->ComputeChecksum(checksum), L"computing the checksum of " + quoted(shown));
        setProperty(file.Get(), StorageProperty_Checksum, Variant(checksumText(checksum)),
                    L"storing the checksum of " + quoted(shown));
        count.files += 1;
        count.bytes += written;
    } catch (...) {
        // No half-copied file is left behind looking whole.
        file.Reset();
        folder->DeleteItem(makeBstr(name).get());
        SetErrorInfo(0, nullptr);
        throw;
    }
}

void putFolder(IStorageFolder* parent, const std::wstring& name, const std::wstring& local,
               const std::wstring& shown, TransferCount& count) {
    ComPtr<IStorageFolder> folder = openFolder(parent, name, shown, true);
    count.folders += 1;

    WIN32_FIND_DATAW found{};
    FindHandle search(FindFirstFileW((local + L"\\*").c_str(), &found));
    if (!search) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            return;
        failLastError(L"listing " + quoted(local));
    }
    struct Entry {
        std::wstring name;
        bool folder;
    };
    std::vector<Entry> entries;
    do {
        std::wstring entry = found.cFileName;
        // Links to folders could loop; the links themselves are not items.
        if (entry == L"." || entry == L".." ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        entries.push_back({entry, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(search.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        failLastError(L"listing " + quoted(local));
    search.reset();
    // The storage lists items in the order they were made: make them sorted.
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });

    for (const auto& entry : entries) {
        std::wstring childLocal = local + L"\\" + entry.name;
        std::wstring childShown = joinItemPath(shown, entry.name);
        if (entry.folder)
            putFolder(folder.Get(), entry.name, childLocal, childShown, count);
        else
            putFile(folder.Get(), entry.name, childLocal, childShown, count);
    }
}

void getFile(IStorageFile* file, const std::wstring& local, const std::wstring& shown,
             TransferCount& count) {
    const std::wstring action = L"copying " + quoted(shown) + L" to " + quoted(local);
    ULONGLONG size = 0;
    ItemTimes times{};
    ComPtr<IStream> stream;
    check(file->GetSize(&size), action);
    check(file->GetTimes(&times), action);
    check(file->OpenStream(&stream), action);

    FileHandle target(CreateFileW(local.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target)
        failLastError(L"making " + quoted(local));
    try {
        Progress progress(shown, size);
        std::vector<BYTE> buffer(kBlockSize);
        for (;;) {
            ULONG got = 0;
            check(stream->Read(buffer.data(), kBlockSize, &got), action);
            if (got == 0)
                break;
            DWORD put = 0;
            if (!WriteFile(target.get(), buffer.data(), got, &put, nullptr) || put != got)
                failLastError(L"writing " + quoted(local));
            count.bytes += got;
            progress.advance(got);
        }
        SetFileTime(target.get(), &times.creation, &times.access, &times.write);
        count.files += 1;
    } catch (...) {
        target.reset();
        DeleteFileW(local.c_str());
        throw;
    }
}

void makeFolder(const std::wstring& local, TransferCount& count) {
    if (!CreateDirectoryW(local.c_str(), nullptr) &&
        !(GetLastError() == ERROR_ALREADY_EXISTS && isFolder(local)))
        failLastError(L"making folder " + quoted(local));
    count.folders += 1;
}

} // namespace

TransferCount putItem(const StorageSession& session, const std::wstring& local,
                      const std::wstring& destination) {
    std::wstring source = fullPath(local);
    while (source.size() > 3 && (source.back() == L'\\' || source.back() == L'/'))
        source.pop_back();
    DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        failLastError(L"reading " + quoted(local));
    std::wstring name = lastName(source);
    if (name.empty() || name.back() == L':')
        throw UsageError(L"a whole drive cannot be copied in; name a folder");

    ComPtr<IStorageFolder> target = session.folder(destination, true);
    std::wstring shown = joinItemPath(normalItemPath(destination), name);
    TransferCount count;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        putFolder(target.Get(), name, source, shown, count);
    else
        putFile(target.Get(), name, source, shown, count);
    return count;
}

TransferCount getItem(const StorageSession& session, const std::wstring& itemPath,
                      const std::wstring& local) {
    ComPtr<IStorageObject> item = session.item(itemPath);
    std::wstring shown = normalItemPath(itemPath);
    std::wstring name = lastName(shown);
    if (name.empty()) { // the root: named after the storage file
        name = lastName(session.path());
        name = name.substr(0, name.find_last_of(L'.'));
    }
    std::wstring target = fullPath(local.empty() ? name : local);
    if (!local.empty() && isFolder(target))
        target = (target.back() == L'\\' ? target : target + L"\\") + name;

    TransferCount count;
    ComPtr<IStorageFile> file;
    if (SUCCEEDED(item.As(&file))) {
        getFile(file.Get(), target, shown, count);
        return count;
    }
    ComPtr<IStorageFolder> folder;
    check(item.As(&folder), L"opening " + quoted(shown));
    makeFolder(target, count);
    const size_t below = shown.empty() ? 0 : shown.size() + 1;
    forEachItem(folder.Get(), shown, true,
                [&](IStorageFolder* parent, const ChildInfo& child, const std::wstring& path) {
                    std::wstring to = target + L"\\" + path.substr(below);
                    if (child.type == StorageItemFolder)
                        makeFolder(to, count);
                    else
                        getFile(openFile(parent, child.name, path, false).Get(), to, path, count);
                });
    return count;
}

} // namespace cfx::tool
