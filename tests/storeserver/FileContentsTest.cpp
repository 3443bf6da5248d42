// File contents under counter mode: a key-stream position never enciphers two
// different bytes (rewrites take a new generation, shrinking and the last
// generation take a new nonce).
#include "FileContents.h"
#include "KeyMaterial.h"
#include "StoreTestSupport.h"

#include <objbase.h>

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
    }

    FileContents contents() { return FileContents(data, file, cipher); }

    void write(size_t at, const std::vector<BYTE>& bytes) {
        contents().write(at, bytes.data(), bytes.size());
    }

    // The stream's bytes (written: replaced by them).
    std::vector<BYTE> stored(const std::vector<BYTE>* written = nullptr) {
        std::vector<BYTE> bytes(written ? *written : std::vector<BYTE>(file.size));
        LARGE_INTEGER zero{};
        data.stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        if (written)
            data.stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        else
            data.stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        return bytes;
    }

    std::vector<BYTE> plainText() {
        std::vector<BYTE> bytes(static_cast<size_t>(file.size));
        bytes.resize(contents().read(0, bytes.data(), static_cast<ULONG>(bytes.size())));
        return bytes;
    }

    // Whether the bytes from..to of two versions used the same key stream.
    static bool sameKeyStream(const std::vector<BYTE>& c1, const std::vector<BYTE>& p1,
                              const std::vector<BYTE>& c2, const std::vector<BYTE>& p2, size_t from,
                              size_t to) {
        for (size_t i = from; i < to; ++i)
            if ((c1[i] ^ c2[i]) != (p1[i] ^ p2[i]))
                return false;
        return true;
    }

    StorageKey key = StorageKey::random();
    Aes256 cipher{key.data()};
    DataStream data;
    CatalogItem file;
};

TEST_F(FileContentsTest, RewritesShrinkingAndTheLastGenerationTakeANewKeyStream) {
    auto first = patternBytes(3 * 4096, 1), second = first;
    write(0, first);
    auto c1 = stored();
    second[5000] ^= 0xA5;
    write(5000, {second[5000]});
    auto c2 = stored();
    EXPECT_EQ(plainText(), second);
    // Block 1 enciphered again, all of it, under its next generation; 0 and 2 left alone.
    EXPECT_FALSE(sameKeyStream(c1, first, c2, second, 4096, 8192));
    EXPECT_TRUE(sameKeyStream(c1, first, c2, second, 0, 4096));
    EXPECT_EQ(file.generations, (std::map<DWORD, DWORD>{{1, 1}}));

    ULONGLONG nonce = file.nonce;
    contents().resize(2000);
    EXPECT_NE(file.nonce, nonce);
    write(2000, std::vector<BYTE>(first.begin() + 2000, first.end()));
    EXPECT_FALSE(sameKeyStream(c1, first, stored(), first, 2000, 4096));
    contents().resize(20000);
    auto grown = plainText();
    EXPECT_TRUE(std::all_of(grown.begin() + 3 * 4096, grown.end(), [](BYTE b) { return !b; }));

    // Block 1 moved to its last generation, as 2^24 - 1 rewrites would have:
    // off with the key stream of its generation, on with that of the last.
    auto bytes = stored();
    const DWORD generation = file.generations.count(1) ? file.generations[1] : 0;
    Block counter{};
    std::memcpy(counter.data(), &file.nonce, 8);
    counter[11] = 1;
    for (DWORD g : {generation, DWORD(0xFFFFFF)}) {
        counter[12] = BYTE(g >> 16), counter[13] = BYTE(g >> 8), counter[14] = BYTE(g);
        cipher.applyCounterStream(counter, bytes.data() + 4096, 4096);
    }
    stored(&bytes);
    file.generations[1] = 0xFFFFFF;
    ASSERT_EQ(plainText(), grown);
    nonce = file.nonce;
    write(5000, {0x42});
    grown[5000] = 0x42;
    EXPECT_NE(file.nonce, nonce);
    EXPECT_LT(file.generations[1], 0xFFFFFFu);
    EXPECT_EQ(plainText(), grown);
}

} // namespace
} // namespace cfx::store::test
