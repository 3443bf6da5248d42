// The container file as the compound-file layer sees it (ILockBytes), made
// transactional with a rollback journal beside it ("<path>-journal").
//
// Changed pages (4096 bytes) are held in memory and reach the file in
// batches, consecutive pages in one write. Before a batch overwrites any page
// of what the last commit left, the journal gets a copy of that page's
// committed bytes (once per transaction), and the copies are on the disk
// first when durable; pages past the committed end need no copy, because
// playing the journal back cuts the file to its committed size. A commit
// writes what is held, flushes the file, then empties the journal: the file
// is either wholly the old state (journal still there, played back on the
// next open) or wholly the new one.
//
// The object is used by one thread at a time (the container's lock).
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace cfx::store {

class JournaledFile final : public ILockBytes {
public:
    static constexpr ULONG kPageSize = 4096;

    // Opens an existing file for reading and writing with no sharing, after
    // playing back a journal an interrupted writer left. durable: commits
    // and journal batches are flushed to the disk (FlushFileBuffers), so that
    // they also survive a power failure, not only a killed process.
    static Microsoft::WRL::ComPtr<JournaledFile> open(const std::wstring& path, bool durable);

    // Plays back the journal an interrupted writer left beside path, if there
    // is one; true when it restored the file.
    static bool recover(const std::wstring& path);

    static std::wstring journalPath(const std::wstring& path);

    // Makes everything written so far the committed state.
    void commit();
    // Brings the file back to the last committed state.
    void rollback();
    // Rolls back what is not committed, closes the file and removes the journal.
    void close() noexcept;

    bool changed() const noexcept { return active_; }
    ULONGLONG size() const noexcept { return size_; }
    // Bytes of changed pages held in memory.
    size_t heldBytes() const noexcept { return held_.size() * kPageSize; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ILockBytes
    STDMETHODIMP ReadAt(ULARGE_INTEGER offset, void* buffer, ULONG size, ULONG* read) override;
    STDMETHODIMP WriteAt(ULARGE_INTEGER offset, const void* buffer, ULONG size,
                         ULONG* written) override;
    STDMETHODIMP Flush() override;
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override;
    STDMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;

private:
    JournaledFile(std::wstring path, bool durable);
    ~JournaledFile();

    void begin();
    std::vector<BYTE> journalHeader() const;
    void write(ULONGLONG offset, const BYTE* data, ULONG size);
    void read(ULONGLONG offset, BYTE* data, ULONG size) const;
    void resize(ULONGLONG size);
    void spill();
    void saveOriginals(const std::vector<ULONGLONG>& pages);
    void truncateJournal();

    std::atomic<ULONG> references_{1};
    std::wstring path_;
    bool durable_;
    FileHandle file_;
    FileHandle journal_;
    DWORD volume_ = 0;
    ULONGLONG fileIndex_ = 0;

    bool active_ = false;                         // changes since the last commit
    ULONGLONG committedSize_ = 0;                 // the file's size at the last commit
    ULONGLONG size_ = 0;                          // its size now
    ULONGLONG journalEnd_ = 0;                    // where the next journal record goes
    std::set<ULONGLONG> saved_;                   // committed pages whose bytes the journal holds
    std::map<ULONGLONG, std::vector<BYTE>> held_; // changed pages not yet written
};

} // namespace cfx::store
