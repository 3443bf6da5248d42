// The transactional file under the compound-file layer: committed bytes
// survive, uncommitted ones go back, and a journal left behind is played back.
#include "JournaledFile.h"
#include "StoreTestSupport.h"

namespace cfx::store::test {
namespace {

HRESULT writeAt(JournaledFile* file, ULONGLONG offset, const std::vector<BYTE>& bytes) {
    ULONG done = 0;
    return file->WriteAt({{static_cast<DWORD>(offset), 0}}, bytes.data(),
                         static_cast<ULONG>(bytes.size()), &done);
}

std::vector<BYTE> readAt(JournaledFile* file, ULONGLONG offset, ULONG size) {
    std::vector<BYTE> bytes(size);
    EXPECT_EQ(file->ReadAt({{static_cast<DWORD>(offset), 0}}, bytes.data(), size, &size), S_OK);
    bytes.resize(size);
    return bytes;
}

class JournaledFileTest : public testing::Test {
protected:
    ScratchFolder folder;
    std::wstring path = folder.file(L"data");
    std::wstring journal = JournaledFile::journalPath(path);
    std::vector<BYTE> original = patternBytes(40000, 1);
};

TEST_F(JournaledFileTest, KeepsCommittedBytesAndRollsBackTheRest) {
    putFileBytes(path, original);
    auto file = JournaledFile::open(path, true);
    const auto change = patternBytes(5000, 2), tail = patternBytes(9000, 3);
    auto expected = original;
    std::copy(change.begin(), change.end(), expected.begin() + 3000);
    expected.resize(original.size() + 10);
    expected.insert(expected.end(), tail.begin(), tail.end());
    ASSERT_EQ(writeAt(file.Get(), 3000, change), S_OK);
    ASSERT_EQ(writeAt(file.Get(), original.size() + 10, tail), S_OK);
    EXPECT_EQ(readAt(file.Get(), 0, static_cast<ULONG>(expected.size())), expected);
    file->commit();
    // More changed pages than are held in memory, so that some reach the file.
    ASSERT_EQ(writeAt(file.Get(), 0, patternBytes(12 << 20, 6)), S_OK);
    ASSERT_EQ(file->SetSize({{5000, 0}}), S_OK);
    EXPECT_EQ(file->size(), 5000u);
    file->rollback();
    EXPECT_EQ(readAt(file.Get(), 0, static_cast<ULONG>(expected.size()) + 1), expected);
    file->close();
    EXPECT_EQ(fileBytes(path), expected);
    EXPECT_EQ(GetFileAttributesW(journal.c_str()), INVALID_FILE_ATTRIBUTES);
}

// A journal left by a crash restores its own file; over another file put in
// its place since, it is not played back.
TEST_F(JournaledFileTest, ALeftJournalIsPlayedBackOverItsOwnFileOnly) {
    for (bool replaced : {false, true}) {
        putFileBytes(path, original);
        {
            auto file = JournaledFile::open(path, false);
            ASSERT_EQ(writeAt(file.Get(), 0, patternBytes(50000, 8)), S_OK);
            ASSERT_EQ(file->SetSize({{10000, 0}}), S_OK); // the held pages reach the file
            // A crash now would leave the journal as it is.
            ASSERT_TRUE(CopyFileW(journal.c_str(), (journal + L".copy").c_str(), FALSE));
            file->close();
        }
        auto changed = patternBytes(10000, 9);
        putFileBytes(path + L".new", changed);
        if (replaced)
            ASSERT_TRUE(
                MoveFileExW((path + L".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
        else
            putFileBytes(path, changed);
        ASSERT_TRUE(MoveFileW((journal + L".copy").c_str(), journal.c_str()));
        EXPECT_EQ(JournaledFile::recover(path), !replaced);
        EXPECT_EQ(fileBytes(path), replaced ? changed : original) << replaced;
        EXPECT_TRUE(replaced || GetFileAttributesW(journal.c_str()) == INVALID_FILE_ATTRIBUTES);
    }
}

} // namespace
} // namespace cfx::store::test
