// How fast a 64 MiB file goes through the engine in process, written and
// read in 4096-byte blocks as the storage server's clients move them. The
// figures are printed; the limits only catch a collapse.
#include "common/Base64.h"
#include "Container.h"
#include "StoreTestSupport.h"

#include "cfxstorage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace cfx::store::test {
namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(ThroughputTest, SixtyFourMebibytesInBlocksOf4096Bytes) {
    constexpr size_t kSize = 64 << 20;
    constexpr double kMiB = kSize / double(1 << 20);
    ScratchFolder folder;
    std::wstring path = folder.file(L"speed.demo-coffrex");
    auto storage = newContainer(path);
    Item file = *storage->root().openFile(L"big.bin", true);
    FileStream stream = file.openStream();
    auto block = patternBytes(4096, 1);

    auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < kSize; at += 4096) {
        block[0] = static_cast<BYTE>(at >> 12);
        stream.write(at, block.data(), 4096);
    }
    double written = seconds(start);
    stream.commit();
    double write = seconds(start);

    start = std::chrono::steady_clock::now();
    ULONGLONG sum = 0;
    for (size_t at = 0; at < kSize; at += 4096) {
        ASSERT_EQ(stream.read(at, block.data(), 4096), 4096u);
        sum += block[0];
    }
    double read = seconds(start);

    start = std::chrono::steady_clock::now();
    auto digest = file.checksum();
    double checksum = seconds(start);

    std::printf("64 MiB in 4096-byte blocks: write %.2f s and commit %.2f s (%.1f MiB/s), "
                "read %.2f s (%.1f MiB/s), checksum %.2f s (%.1f MiB/s); file %llu bytes\n",
                written, write - written, kMiB / write, read, kMiB / read, checksum,
                kMiB / checksum, fileSize(path));
    EXPECT_NE(sum, 0u);
    EXPECT_NE(digest, (std::array<BYTE, 16>{}));
    EXPECT_LT(write, 120.0);
    EXPECT_LT(read, 60.0);
}

// A small file the way the library stores one: made (a commit), written,
// committed, its checksum stored as a property (a commit).
TEST(ThroughputTest, SmallFilesWithAndWithoutFlushingCommits) {
    ScratchFolder folder;
    auto bytes = patternBytes(3000, 2);
    for (bool durable : {true, false}) {
        std::wstring path = folder.file(durable ? L"durable.demo-coffrex" : L"cached.demo-coffrex");
        auto storage = newContainer(path, Container::Options{durable});
        Item root = storage->root();
        constexpr int kFiles = 100;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kFiles; ++i) {
            Item file = *root.openFile(L"file" + std::to_wstring(i), true);
            FileStream stream = file.openStream();
            stream.write(0, bytes.data(), static_cast<ULONG>(bytes.size()));
            stream.commit();
            auto digest = file.checksum();
            file.setProperty(StorageProperty_Checksum,
                             Variant::text(toBase64(digest.data(), digest.size()))->get());
        }
        double took = seconds(start);
        std::printf("%d small files, %s commits: %.2f s (%.0f files/s)\n", kFiles,
                    durable ? "flushed" : "cached", took, kFiles / took);
        EXPECT_EQ(root.list().size(), size_t(kFiles));
    }
}

} // namespace
} // namespace cfx::store::test
