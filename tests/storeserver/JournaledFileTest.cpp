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

TEST_F(JournaledFileTest, ALeftJournalIsPlayedBackOnOpen) {
    auto original = patternBytes(20000, 7);
    putFileBytes(path, original);
    {
        auto file = JournaledFile::open(path, false);
        ASSERT_EQ(writeAt(file.Get(), 0, patternBytes(20000 + 30000, 8)), S_OK);
        // Force the held pages to the file, as a long transaction would.
        ULARGE_INTEGER size;
        size.QuadPart = 10000;
        ASSERT_EQ(file->SetSize(size), S_OK);
        // A crash now would leave the journal as it is: keep a copy of it.
        auto journal = JournaledFile::journalPath(path);
        ASSERT_TRUE(CopyFileW(journal.c_str(), (journal + L".copy").c_str(), FALSE));
        file->close();
    }
    // Put the interrupted state back: the changed file and its journal.
    std::wstring journal = JournaledFile::journalPath(path);
    auto changed = patternBytes(10000, 9);
    putFileBytes(path, changed);
    ASSERT_TRUE(MoveFileW((journal + L".copy").c_str(), journal.c_str()));
    EXPECT_TRUE(JournaledFile::recover(path));
    EXPECT_EQ(fileBytes(path), original);
    EXPECT_EQ(GetFileAttributesW(journal.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(JournaledFileTest, AJournalOfAnotherFileIsNotPlayedBack) {
    auto original = patternBytes(9000, 10);
    putFileBytes(path, original);
    std::wstring journal = JournaledFile::journalPath(path);
    {
        auto file = JournaledFile::open(path, false);
        ASSERT_EQ(writeAt(file.Get(), 0, patternBytes(100, 11)), S_OK);
        ULARGE_INTEGER size;
        size.QuadPart = 100;
        ASSERT_EQ(file->SetSize(size), S_OK);
        ASSERT_TRUE(CopyFileW(journal.c_str(), (journal + L".copy").c_str(), FALSE));
        file->close();
    }
    // The file was replaced by another one since.
    auto other = patternBytes(7000, 12);
    putFileBytes(path + L".other", other);
    ASSERT_TRUE(MoveFileExW((path + L".other").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileW((journal + L".copy").c_str(), journal.c_str()));
    EXPECT_FALSE(JournaledFile::recover(path));
    EXPECT_EQ(fileBytes(path), other);
}

} // namespace
} // namespace cfx::store::test
