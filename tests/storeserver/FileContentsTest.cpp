// File contents under counter mode: what is read is what was written, and a
// key-stream position never enciphers two different bytes (rewrites take a
// new generation, shrinking and the last generation take a new nonce).
#include "FileContents.h"
#include "KeyMaterial.h"
#include "StoreTestSupport.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace cfx::store::test {
namespace {

class FileContentsTest : public testing::Test {
protected:
    FileContentsTest() {
        EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &data.stream), S_OK);
        file.type = ItemType::File;
        file.nonce = 0x1122334455667788ull;
    }

    FileContents contents() { return FileContents(data, file, cipher); }

    // The ciphertext as the stream holds it.
    std::vector<BYTE> cipherText() {
        contents().trim();
        STATSTG stat{};
        data.stream->Stat(&stat, STATFLAG_NONAME);
        std::vector<BYTE> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
        LARGE_INTEGER zero{};
        data.stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        ULONG got = 0;
        if (!bytes.empty())
            data.stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got);
        return bytes;
    }

    std::vector<BYTE> plainText() {
        std::vector<BYTE> bytes(static_cast<size_t>(file.size));
        if (!bytes.empty()) {
            EXPECT_EQ(contents().read(0, bytes.data(), static_cast<ULONG>(bytes.size())),
                      bytes.size());
        }
        return bytes;
    }

    // Whether two enciphered versions of a range used the same key stream:
    // then c1 ^ c2 == p1 ^ p2.
    static bool sameKeyStream(const std::vector<BYTE>& c1, const std::vector<BYTE>& p1,
                              const std::vector<BYTE>& c2, const std::vector<BYTE>& p2, size_t from,
                              size_t size) {
        for (size_t i = from; i < from + size; ++i)
            if ((c1[i] ^ c2[i]) != (p1[i] ^ p2[i]))
                return false;
        return true;
    }

    StorageKey key = StorageKey::random();
    Aes256 cipher{key.data()};
    DataStream data;
    CatalogItem file;
};

TEST_F(FileContentsTest, ReadsBackWhatWasWrittenAtAnyOffset) {
    std::vector<BYTE> model;
    for (unsigned i = 0; i < 40; ++i) {
        size_t at = (i * 7919u) % 30000;
        auto bytes = patternBytes(1 + (i * 613u) % 9000, i);
        contents().write(at, bytes.data(), bytes.size());
        if (model.size() < at + bytes.size())
            model.resize(at + bytes.size(), 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + at);
    }
    EXPECT_EQ(file.size, model.size());
    EXPECT_EQ(plainText(), model);
    // The stream holds no plaintext.
    auto stored = cipherText();
    ASSERT_EQ(stored.size(), model.size());
    size_t same = 0;
    for (size_t i = 0; i < model.size(); ++i)
        same += stored[i] == model[i];
    EXPECT_LT(same, model.size() / 100);
}

TEST_F(FileContentsTest, RewritingABlockUsesANewKeyStream) {
    auto first = patternBytes(3 * 4096, 1);
    contents().write(0, first.data(), first.size());
    auto c1 = cipherText();
    auto second = first;
    for (size_t i = 5000; i < 5100; ++i)
        second[i] ^= 0xA5;
    contents().write(5000, second.data() + 5000, 100);
    auto c2 = cipherText();
    EXPECT_EQ(plainText(), second);
    // Block 1 was enciphered again, all of it, under another generation;
    // blocks 0 and 2 were left alone.
    EXPECT_FALSE(sameKeyStream(c1, first, c2, second, 4096, 4096));
    EXPECT_TRUE(std::equal(c1.begin(), c1.begin() + 4096, c2.begin()));
    EXPECT_TRUE(std::equal(c1.begin() + 8192, c1.end(), c2.begin() + 8192));
    EXPECT_EQ(file.generations.size(), 1u);
    EXPECT_EQ(file.generations.at(1), 1u);
}

TEST_F(FileContentsTest, ShrinkingAndGrowingAgainTakesANewNonce) {
    auto bytes = patternBytes(10000, 3);
    contents().write(0, bytes.data(), bytes.size());
    auto c1 = cipherText();
    ULONGLONG nonce = file.nonce;
    contents().resize(2000);
    EXPECT_NE(file.nonce, nonce);
    auto other = patternBytes(10000, 4);
    contents().write(2000, other.data() + 2000, 8000);
    std::vector<BYTE> expected(bytes.begin(), bytes.begin() + 2000);
    expected.insert(expected.end(), other.begin() + 2000, other.end());
    EXPECT_EQ(plainText(), expected);
    auto c2 = cipherText();
    EXPECT_FALSE(sameKeyStream(c1, bytes, c2, expected, 2000, 8000));
    // Growing fills with zeros.
    contents().resize(12000);
    auto grown = plainText();
    EXPECT_TRUE(std::all_of(grown.begin() + 10000, grown.end(), [](BYTE b) { return b == 0; }));
}

TEST_F(FileContentsTest, TheLastGenerationOfABlockRenewsTheNonce) {
    auto bytes = patternBytes(9000, 5);
    contents().write(0, bytes.data(), bytes.size());
    // Move block 1 to its last generation, as 2^24 - 1 rewrites would have:
    // off with the key stream of generation 0, on with that of the last.
    std::vector<BYTE> block(4096);
    LARGE_INTEGER at;
    at.QuadPart = 4096;
    data.stream->Seek(at, STREAM_SEEK_SET, nullptr);
    data.stream->Read(block.data(), 4096, nullptr);
    Block counter{};
    std::memcpy(counter.data(), &file.nonce, 8);
    counter[11] = 1;
    cipher.applyCounterStream(counter, block.data(), block.size());
    counter[12] = counter[13] = counter[14] = 0xFF;
    cipher.applyCounterStream(counter, block.data(), block.size());
    data.stream->Seek(at, STREAM_SEEK_SET, nullptr);
    data.stream->Write(block.data(), 4096, nullptr);
    file.generations[1] = 0xFFFFFF;
    ASSERT_EQ(plainText(), bytes);

    ULONGLONG nonce = file.nonce;
    BYTE x = 0x42;
    contents().write(5000, &x, 1);
    bytes[5000] = x;
    EXPECT_NE(file.nonce, nonce);
    EXPECT_EQ(file.generations, (std::map<DWORD, DWORD>{{1, 1}}));
    EXPECT_EQ(plainText(), bytes);
}

} // namespace
} // namespace cfx::store::test
