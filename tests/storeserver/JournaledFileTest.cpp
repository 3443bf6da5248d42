// The transactional file under the compound-file layer: committed bytes
// survive, uncommitted ones go back, and a journal left behind is played back.
#include "JournaledFile.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace cfx::store::test {
namespace {

using Microsoft::WRL::ComPtr;

HRESULT writeAt(ILockBytes* file, ULONGLONG offset, const std::vector<BYTE>& bytes) {
    ULARGE_INTEGER at;
    at.QuadPart = offset;
    ULONG done = 0;
    return file->WriteAt(at, bytes.data(), static_cast<ULONG>(bytes.size()), &done);
}

std::vector<BYTE> readAt(ILockBytes* file, ULONGLONG offset, ULONG size) {
    std::vector<BYTE> bytes(size);
    ULARGE_INTEGER at;
    at.QuadPart = offset;
    ULONG done = 0;
    EXPECT_EQ(file->ReadAt(at, bytes.data(), size, &done), S_OK);
    bytes.resize(done);
    return bytes;
}

std::vector<BYTE> slice(const std::vector<BYTE>& bytes, size_t from, size_t size) {
    return std::vector<BYTE>(bytes.begin() + from, bytes.begin() + from + size);
}

class JournaledFileTest : public testing::Test {
protected:
    ScratchFolder folder;
    std::wstring path = folder.file(L"data");
};

TEST_F(JournaledFileTest, ReadsWhatWasWrittenAndKeepsCommittedBytes) {
    auto original = patternBytes(3 * 4096 + 100, 1);
    putFileBytes(path, original);
    auto file = JournaledFile::open(path, true);
    auto change = patternBytes(5000, 2);
    ASSERT_EQ(writeAt(file.Get(), 3000, change), S_OK);
    auto tail = patternBytes(9000, 3);
    ASSERT_EQ(writeAt(file.Get(), original.size() + 10, tail), S_OK);
    EXPECT_EQ(readAt(file.Get(), 3000, 5000), change);
    EXPECT_EQ(readAt(file.Get(), 0, 3000), slice(original, 0, 3000));
    EXPECT_EQ(readAt(file.Get(), original.size() + 10, 9000), tail);
    EXPECT_EQ(file->size(), original.size() + 10 + 9000);
    file->commit();
    file->close();
    auto now = fileBytes(path);
    ASSERT_EQ(now.size(), original.size() + 10 + 9000);
    EXPECT_EQ(slice(now, 3000, 5000), change);
    EXPECT_EQ(slice(now, 8000, 100), slice(original, 8000, 100));
    EXPECT_EQ(GetFileAttributesW(JournaledFile::journalPath(path).c_str()),
              INVALID_FILE_ATTRIBUTES);
}

TEST_F(JournaledFileTest, RollbackRestoresTheCommittedBytesAndSize) {
    auto original = patternBytes(40000, 4);
    putFileBytes(path, original);
    auto file = JournaledFile::open(path, false);
    // More changed pages than are held in memory, so that some reach the file.
    for (ULONGLONG offset = 0; offset < 40000; offset += 4096)
        ASSERT_EQ(writeAt(file.Get(), offset, patternBytes(100, 5)), S_OK);
    auto big = patternBytes(12 << 20, 6);
    ASSERT_EQ(writeAt(file.Get(), 0, big), S_OK);
    ULARGE_INTEGER shorter;
    shorter.QuadPart = 5000;
    ASSERT_EQ(file->SetSize(shorter), S_OK);
    EXPECT_EQ(file->size(), 5000u);
    file->rollback();
    EXPECT_EQ(file->size(), original.size());
    EXPECT_EQ(readAt(file.Get(), 0, 40000), original);
    file->close();
    EXPECT_EQ(fileBytes(path), original);
}

// A journal left by a crash restores its own file; over another file put in
// its place since, it is not played back.
TEST_F(JournaledFileTest, ALeftJournalIsPlayedBackOverItsOwnFileOnly) {
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "the file replaced since" : "the same file");
        auto original = patternBytes(20000, 7);
        putFileBytes(path, original);
        const std::wstring journal = JournaledFile::journalPath(path);
        {
            auto file = JournaledFile::open(path, false);
            ASSERT_EQ(writeAt(file.Get(), 0, patternBytes(20000 + 30000, 8)), S_OK);
            // Force the held pages to the file, as a long transaction would.
            ULARGE_INTEGER size;
            size.QuadPart = 10000;
            ASSERT_EQ(file->SetSize(size), S_OK);
            // A crash now would leave the journal as it is: keep a copy of it.
            ASSERT_TRUE(CopyFileW(journal.c_str(), (journal + L".copy").c_str(), FALSE));
            file->close();
        }
        // The interrupted state back: the changed file (or another one in
        // its place) and the journal.
        auto changed = patternBytes(10000, 9);
        putFileBytes(path + L".new", changed);
        if (replaced)
            ASSERT_TRUE(
                MoveFileExW((path + L".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
        else
            putFileBytes(path, changed);
        ASSERT_TRUE(MoveFileW((journal + L".copy").c_str(), journal.c_str()));
        EXPECT_EQ(JournaledFile::recover(path), !replaced);
        EXPECT_EQ(fileBytes(path), replaced ? changed : original);
        if (!replaced) {
            EXPECT_EQ(GetFileAttributesW(journal.c_str()), INVALID_FILE_ATTRIBUTES);
        }
    }
}

} // namespace
} // namespace cfx::store::test
