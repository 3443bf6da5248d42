#include "JournaledFile.h"

#include "StoreError.h"
#include "common/ComObjectBase.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace cfx::store {

namespace {

// The journal's header; records follow it:
//   offset (8) | length (4) | CRC-32 of offset, length and bytes (4) | bytes
// A record that is incomplete or fails its CRC ends the journal.
constexpr char kMagic[8] = {'C', 'F', 'X', 'J', 'R', 'N', 'L', '1'};
constexpr ULONG kHeaderSize = 64;
constexpr ULONG kRecordHead = 16;
// Changed pages held in memory before a batch goes to the file.
constexpr size_t kHeldPages = 2048;

DWORD crc32(const BYTE* data, size_t size, DWORD crc = 0) {
    static const auto table = [] {
        std::array<DWORD, 256> t{};
        for (DWORD i = 0; i < 256; ++i) {
            DWORD c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void put32(BYTE* p, DWORD v) {
    std::memcpy(p, &v, 4);
}
void put64(BYTE* p, ULONGLONG v) {
    std::memcpy(p, &v, 8);
}
DWORD get32(const BYTE* p) {
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}
ULONGLONG get64(const BYTE* p) {
    ULONGLONG v;
    std::memcpy(&v, p, 8);
    return v;
}

// Positions the file pointer: the file is used by one thread at a time, and
// under Wine a positioned ReadFile or WriteFile (with an OVERLAPPED offset)
// costs several times the seek and plain call.
void seek(HANDLE file, ULONGLONG offset, const std::wstring& path) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, to, nullptr, FILE_BEGIN))
        failLastError(L"Unable to reach a position in " + quoted(path));
}

// Reads up to size bytes at offset; fewer at the end of the file.
ULONG readFile(HANDLE file, ULONGLONG offset, BYTE* data, ULONG size, const std::wstring& path) {
    seek(file, offset, path);
    ULONG total = 0;
    while (total < size) {
        DWORD n = 0;
        if (!ReadFile(file, data + total, size - total, &n, nullptr))
            failLastError(L"Unable to read " + quoted(path));
        if (n == 0)
            break;
        total += n;
    }
    return total;
}

void writeFile(HANDLE file, ULONGLONG offset, const BYTE* data, ULONG size,
               const std::wstring& path) {
    seek(file, offset, path);
    while (size > 0) {
        DWORD n = 0;
        if (!WriteFile(file, data, size, &n, nullptr))
            failLastError(L"Unable to write " + quoted(path));
        data += n;
        size -= n;
    }
}

void setEnd(HANDLE file, ULONGLONG size, const std::wstring& path) {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &info, sizeof info))
        failLastError(L"Unable to change the size of " + quoted(path));
}

void flush(HANDLE file, const std::wstring& path) {
    if (!FlushFileBuffers(file))
        failLastError(L"Unable to flush " + quoted(path));
}

ULONGLONG fileSize(HANDLE file, const std::wstring& path) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        failLastError(L"Unable to read the size of " + quoted(path));
    return static_cast<ULONGLONG>(size.QuadPart);
}

struct Identity {
    DWORD volume;
    ULONGLONG index;
};

Identity identityOf(HANDLE file, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        failLastError(L"Unable to read the attributes of " + quoted(path));
    return {info.dwVolumeSerialNumber, (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

FileHandle openMain(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        HRESULT hr = HRESULT_FROM_WIN32(error);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            fail(STG_E_FILENOTFOUND, L"The storage file " + quoted(path) + L" does not exist.");
        if (error == ERROR_SHARING_VIOLATION)
            fail(STG_E_SHAREVIOLATION,
                 L"The storage file " + quoted(path) + L" is in use by another program.");
        if (error == ERROR_ACCESS_DENIED)
            fail(STG_E_ACCESSDENIED,
                 L"Access to the storage file " + quoted(path) + L" is denied.");
        fail(hr, L"Unable to open " + quoted(path) + L": " + systemText(hr));
    }
    return file;
}

// Writes back every complete record of the journal and cuts the file to the
// committed size the header gives; false when the journal holds no valid
// header (nothing of the file was changed under it).
bool playBack(HANDLE journal, HANDLE file, const std::wstring& path, const Identity* expected) {
    BYTE header[kHeaderSize];
    if (readFile(journal, 0, header, kHeaderSize, path) != kHeaderSize ||
        std::memcmp(header, kMagic, sizeof kMagic) != 0 ||
        get32(header + 48) != crc32(header, 48) || get32(header + 8) != JournaledFile::kPageSize)
        return false;
    if (expected &&
        (get32(header + 24) != expected->volume || get64(header + 32) != expected->index))
        return false;
    ULONGLONG committed = get64(header + 16);
    ULONGLONG position = kHeaderSize;
    std::vector<BYTE> record(kRecordHead + JournaledFile::kPageSize);
    for (;;) {
        if (readFile(journal, position, record.data(), kRecordHead, path) != kRecordHead)
            break;
        ULONGLONG offset = get64(record.data());
        DWORD length = get32(record.data() + 8);
        if (length > JournaledFile::kPageSize ||
            readFile(journal, position + kRecordHead, record.data() + kRecordHead, length, path) !=
                length)
            break;
        DWORD crc = crc32(record.data(), 12);
        crc = crc32(record.data() + kRecordHead, length, crc);
        if (crc != get32(record.data() + 12))
            break;
        writeFile(file, offset, record.data() + kRecordHead, length, path);
        position += kRecordHead + length;
    }
    setEnd(file, committed, path);
    flush(file, path);
    return true;
}

} // namespace

std::wstring JournaledFile::journalPath(const std::wstring& path) {
    return path + L"-journal";
}

bool JournaledFile::recover(const std::wstring& path) {
    std::wstring journalName = journalPath(path);
    FileHandle journal(CreateFileW(journalName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!journal) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return false;
        if (error == ERROR_SHARING_VIOLATION)
            fail(STG_E_SHAREVIOLATION,
                 L"The storage file " + quoted(path) + L" is in use by another program.");
        SetLastError(error);
        failLastError(L"Unable to open the journal " + quoted(journalName));
    }
    FileHandle file = openMain(path);
    Identity identity = identityOf(file.get(), path);
    bool restored = playBack(journal.get(), file.get(), path, &identity);
    journal.reset();
    file.reset();
    if (!DeleteFileW(journalName.c_str()))
        failLastError(L"Unable to remove the journal " + quoted(journalName));
    return restored;
}

Microsoft::WRL::ComPtr<JournaledFile> JournaledFile::open(const std::wstring& path, bool durable) {
    recover(path);
    Microsoft::WRL::ComPtr<JournaledFile> result = adopt(new JournaledFile(path, durable));
    JournaledFile& f = *result.Get();
    f.file_ = openMain(path);
    Identity identity = identityOf(f.file_.get(), path);
    f.volume_ = identity.volume;
    f.fileIndex_ = identity.index;
    f.size_ = f.committedSize_ = fileSize(f.file_.get(), path);
    std::wstring journalName = journalPath(path);
    // Others may read the journal (to copy it, say), never change it.
    f.journal_.reset(CreateFileW(journalName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!f.journal_)
        failLastError(L"Unable to make the journal " + quoted(journalName));
    return result;
}

JournaledFile::JournaledFile(std::wstring path, bool durable)
    : path_(std::move(path)), durable_(durable) {}

JournaledFile::~JournaledFile() {
    close();
}

void JournaledFile::close() noexcept {
    if (!file_)
        return;
    try {
        rollback();
    } catch (...) {
        // The journal stays and the next open plays it back.
        journal_.reset();
        file_.reset();
        return;
    }
    journal_.reset();
    file_.reset();
    DeleteFileW(journalPath(path_).c_str());
}

void JournaledFile::begin() {
    if (!file_)
        fail(STG_E_REVERTED, L"The storage file " + quoted(path_) + L" is closed.");
    active_ = true;
}

std::vector<BYTE> JournaledFile::journalHeader() const {
    std::vector<BYTE> header(kHeaderSize);
    std::memcpy(header.data(), kMagic, sizeof kMagic);
    put32(header.data() + 8, kPageSize);
    put64(header.data() + 16, committedSize_);
    put32(header.data() + 24, volume_);
    put64(header.data() + 32, fileIndex_);
    put32(header.data() + 48, crc32(header.data(), 48));
    return header;
}

void JournaledFile::saveOriginals(const std::vector<ULONGLONG>& pages) {
    // The header goes with the first batch: the file is not touched before.
    if (pages.empty() && journalEnd_ != 0)
        return;
    std::vector<BYTE> batch;
    if (journalEnd_ == 0)
        batch = journalHeader();
    batch.reserve(batch.size() + pages.size() * (kRecordHead + kPageSize));
    for (ULONGLONG page : pages) {
        ULONGLONG start = page * kPageSize;
        ULONG length = static_cast<ULONG>(std::min<ULONGLONG>(kPageSize, committedSize_ - start));
        size_t at = batch.size();
        batch.resize(at + kRecordHead + length);
        BYTE* record = batch.data() + at;
        put64(record, start);
        put32(record + 8, length);
        ULONG got = readFile(file_.get(), start, record + kRecordHead, length, path_);
        std::fill(record + kRecordHead + got, record + kRecordHead + length, BYTE(0));
        DWORD crc = crc32(record, 12);
        put32(record + 12, crc32(record + kRecordHead, length, crc));
    }
    writeFile(journal_.get(), journalEnd_, batch.data(), static_cast<ULONG>(batch.size()), path_);
    journalEnd_ += batch.size();
    if (durable_)
        flush(journal_.get(), path_);
    saved_.insert(pages.begin(), pages.end());
}

void JournaledFile::spill() {
    if (held_.empty())
        return;
    std::vector<ULONGLONG> originals;
    for (const auto& entry : held_)
        if (entry.first * kPageSize < committedSize_ && !saved_.count(entry.first))
            originals.push_back(entry.first);
    saveOriginals(originals);
    // Runs of consecutive pages go to the file in one call each.
    std::vector<BYTE> run;
    ULONGLONG runStart = 0;
    auto writeRun = [&] {
        if (!run.empty())
            writeFile(file_.get(), runStart, run.data(), static_cast<ULONG>(run.size()), path_);
        run.clear();
    };
    constexpr size_t kLongestRun = 1 << 20;
    for (const auto& [page, bytes] : held_) {
        ULONGLONG start = page * kPageSize;
        ULONG length = static_cast<ULONG>(std::min<ULONGLONG>(kPageSize, size_ - start));
        if (run.empty() || runStart + run.size() != start || run.size() >= kLongestRun) {
            writeRun();
            runStart = start;
        }
        run.insert(run.end(), bytes.begin(), bytes.begin() + length);
    }
    writeRun();
    held_.clear();
}

void JournaledFile::write(ULONGLONG offset, const BYTE* data, ULONG size) {
    begin();
    ULONGLONG end = offset + size;
    ULONGLONG position = offset;
    while (position < end) {
        ULONGLONG page = position / kPageSize;
        ULONGLONG pageStart = page * kPageSize;
        ULONGLONG pageEnd = std::min(end, pageStart + kPageSize);
        auto found = held_.find(page);
        if (found == held_.end()) {
            std::vector<BYTE> bytes(kPageSize);
            bool whole = position == pageStart && pageEnd == pageStart + kPageSize;
            if (!whole && pageStart < size_) {
                ULONG got = readFile(file_.get(), pageStart, bytes.data(), kPageSize, path_);
                std::fill(bytes.begin() + got, bytes.end(), BYTE(0));
            }
            found = held_.emplace(page, std::move(bytes)).first;
        }
        std::memcpy(found->second.data() + (position - pageStart), data + (position - offset),
                    static_cast<size_t>(pageEnd - position));
        position = pageEnd;
    }
    size_ = std::max(size_, end);
    if (held_.size() >= kHeldPages)
        spill();
}

void JournaledFile::read(ULONGLONG offset, BYTE* data, ULONG size) const {
    ULONGLONG end = offset + size;
    ULONGLONG position = offset;
    while (position < end) {
        ULONGLONG page = position / kPageSize;
        ULONGLONG pageStart = page * kPageSize;
        auto found = held_.find(page);
        if (found != held_.end()) {
            ULONGLONG pageEnd = std::min(end, pageStart + kPageSize);
            std::memcpy(data + (position - offset), found->second.data() + (position - pageStart),
                        static_cast<size_t>(pageEnd - position));
            position = pageEnd;
            continue;
        }
        // Up to the next held page, in one call; past the file's end, zeros.
        ULONGLONG runEnd = end;
        auto next = held_.upper_bound(page);
        if (next != held_.end())
            runEnd = std::min(runEnd, next->first * kPageSize);
        ULONG length = static_cast<ULONG>(runEnd - position);
        ULONG got = readFile(file_.get(), position, data + (position - offset), length, path_);
        std::fill(data + (position - offset) + got, data + (position - offset) + length, BYTE(0));
        position = runEnd;
    }
}

void JournaledFile::resize(ULONGLONG size) {
    if (size == size_)
        return;
    begin();
    std::vector<ULONGLONG> cut;
    if (size < size_) {
        spill();
        for (ULONGLONG page = size / kPageSize; page * kPageSize < committedSize_; ++page) {
            if (!saved_.count(page))
                cut.push_back(page);
            if (cut.size() == kHeldPages) {
                saveOriginals(cut);
                cut.clear();
            }
        }
    }
    // Also when nothing is cut: the journal's header must be there before
    // the file changes.
    saveOriginals(cut);
    size_ = size;
    setEnd(file_.get(), size, path_);
}

void JournaledFile::commit() {
    if (!active_)
        return;
    spill();
    if (journalEnd_ == 0) {
        // Nothing reached the file.
        active_ = false;
        return;
    }
    // Held pages past the end of the file may have left it shorter.
    if (fileSize(file_.get(), path_) != size_)
        setEnd(file_.get(), size_, path_);
    if (durable_)
        flush(file_.get(), path_);
    truncateJournal();
    committedSize_ = size_;
    saved_.clear();
    active_ = false;
}

void JournaledFile::truncateJournal() {
    setEnd(journal_.get(), 0, path_);
    if (durable_)
        flush(journal_.get(), path_);
    journalEnd_ = 0;
}

void JournaledFile::rollback() {
    held_.clear();
    if (!active_)
        return;
    playBack(journal_.get(), file_.get(), path_, nullptr);
    truncateJournal();
    size_ = committedSize_;
    saved_.clear();
    active_ = false;
}

STDMETHODIMP JournaledFile::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ILockBytes) {
        *object = static_cast<ILockBytes*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) JournaledFile::AddRef() {
    return ++references_;
}

STDMETHODIMP_(ULONG) JournaledFile::Release() {
    ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

namespace {

template <class Body> HRESULT io(Body&& body, HRESULT fallback) noexcept {
    try {
        body();
        return S_OK;
    } catch (const StoreError& e) {
        return e.Error();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return fallback;
    }
}

} // namespace

STDMETHODIMP JournaledFile::ReadAt(ULARGE_INTEGER offset, void* buffer, ULONG size, ULONG* read) {
    ULONG done = 0;
    HRESULT hr = io(
        [&] {
            if (!file_)
                fail(STG_E_REVERTED, L"closed");
            if (offset.QuadPart < size_) {
                done = static_cast<ULONG>(std::min<ULONGLONG>(size, size_ - offset.QuadPart));
                this->read(offset.QuadPart, static_cast<BYTE*>(buffer), done);
            }
        },
        STG_E_READFAULT);
    if (read)
        *read = SUCCEEDED(hr) ? done : 0;
    return hr;
}

STDMETHODIMP JournaledFile::WriteAt(ULARGE_INTEGER offset, const void* buffer, ULONG size,
                                    ULONG* written) {
    HRESULT hr = io([&] { write(offset.QuadPart, static_cast<const BYTE*>(buffer), size); },
                    STG_E_WRITEFAULT);
    if (written)
        *written = SUCCEEDED(hr) ? size : 0;
    return hr;
}

STDMETHODIMP JournaledFile::Flush() {
    // The container commits explicitly; a flush of the compound-file layer
    // only has to reach this object, which it has.
    return S_OK;
}

STDMETHODIMP JournaledFile::SetSize(ULARGE_INTEGER size) {
    return io([&] { resize(size.QuadPart); }, STG_E_WRITEFAULT);
}

STDMETHODIMP JournaledFile::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    // The file is open without sharing: there is no one to lock against.
    return STG_E_INVALIDFUNCTION;
}

STDMETHODIMP JournaledFile::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

STDMETHODIMP JournaledFile::Stat(STATSTG* stat, DWORD flags) {
    if (!stat)
        return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_LOCKBYTES;
    stat->cbSize.QuadPart = size_;
    stat->grfMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    if (file_)
        GetFileTime(file_.get(), &stat->ctime, &stat->atime, &stat->mtime);
    if (!(flags & STATFLAG_NONAME)) {
        size_t bytes = (path_.size() + 1) * sizeof(wchar_t);
        stat->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!stat->pwcsName)
            return E_OUTOFMEMORY;
        std::memcpy(stat->pwcsName, path_.c_str(), bytes);
    }
    return S_OK;
}

} // namespace cfx::store
