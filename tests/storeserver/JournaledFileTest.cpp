// The transactional file under the compound-file layer: closed without a
// commit, the file goes back; a journal left by a crash restores its own file,
// and over another file put in its place since, is not played back. (Commits:
// every container test that reopens.)
#include "JournaledFile.h"
#include "StoreTestSupport.h"

namespace cfx::store::test {
namespace {

TEST(JournaledFileTest, ALeftJournalIsPlayedBackOverItsOwnFileOnly) {
    ScratchFolder folder;
    const std::wstring path = folder.file(L"data"), journal = JournaledFile::journalPath(path);
    const std::vector<BYTE> original = patternBytes(20000, 1), changed = patternBytes(10000, 9),
                            written = patternBytes(50000, 8);
    for (bool replaced : {false, true}) {
        putFileBytes(path, original);
        {
            auto file = JournaledFile::open(path, false);
            ULONG done = 0;
            ASSERT_EQ(file->WriteAt({}, written.data(), 50000, &done), S_OK);
            ASSERT_EQ(file->SetSize({{10000, 0}}), S_OK); // the held pages reach the file
            // A crash now would leave the journal as it is.
            ASSERT_TRUE(CopyFileW(journal.c_str(), (journal + L".copy").c_str(), FALSE));
            file->close();
        }
        EXPECT_EQ(fileBytes(path), original) << "not rolled back on closing";
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
