// The engine's ciphers against published vectors (FIPS-197 C.3; SP 800-38A
// F.1.5 and F.5.5; SP 800-38B AES-256), with the processor's AES instructions
// and with the portable rounds; the keys derived from a storage key; and file
// contents, where a key-stream position never enciphers two different bytes.
#include "Aes256.h"
#include "Cmac.h"
#include "FileContents.h"
#include "KeyMaterial.h"
#include "StoreTestSupport.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace cfx::store::test {
namespace {

std::vector<BYTE> hex(const std::string& text, size_t bytes = ~size_t(0)) {
    std::vector<BYTE> result;
    for (size_t at = 0; at + 1 < text.size() && result.size() < bytes; at += 2)
        result.push_back(static_cast<BYTE>(std::stoi(text.substr(at, 2), nullptr, 16)));
    return result;
}

const std::string kKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string kPlain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                           "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const std::string kCtr = "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                         "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6";
const std::string kCounter = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

struct Vector {
    char mode; // 'E' block by block, 'C' counter mode, 'M' CMAC
    std::string key, input;
    size_t length;
    std::string expected;
};

const Vector kVectors[] = {
    {'E', "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", 16, "8ea2b7ca516745bfeafc49904b496089"},
    {'E', kKey, kPlain, 64,
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
     "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {'C', kKey, kPlain, 64, kCtr},
    {'C', kKey, kPlain, 59, kCtr}, // a short tail uses part of a block
    {'M', kKey, kPlain, 0, "028962f61b7bf89efc6b551f4667d983"},
    {'M', kKey, kPlain, 16, "28a7023f452e8f82bd4bf28d8c37c35c"},
    {'M', kKey, kPlain, 40, "aaf3d8f1de5640c232f5b169b9c911e6"},
    {'M', kKey, kPlain, 64, "e1992190549f6ed5696a2c056c315410"},
};

class CipherTest : public testing::TestWithParam<Aes256::Engine> {};

TEST_P(CipherTest, PublishedVectors) {
    for (const Vector& vector : kVectors) {
        Aes256 aes(hex(vector.key).data(), GetParam());
        std::vector<BYTE> data = hex(vector.input, vector.length);
        std::vector<BYTE> expected = hex(vector.expected, vector.mode == 'M' ? 16 : vector.length);
        Block counter;
        std::copy_n(hex(kCounter).begin(), 16, counter.begin());
        if (vector.mode == 'E')
            for (size_t at = 0; at < data.size(); at += 16)
                aes.encryptBlock(data.data() + at, data.data() + at);
        else if (vector.mode == 'C')
            aes.applyCounterStream(counter, data.data(), data.size());
        else {
            counter = cmac(aes, data.data(), data.size());
            data.assign(counter.begin(), counter.end());
        }
        EXPECT_EQ(data, expected) << vector.mode << " " << vector.length;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, CipherTest,
                         testing::Values(Aes256::Engine::Automatic, Aes256::Engine::Portable));

// Long streams take the processor's eight-lane path; the count carries across bytes.
TEST(CipherEngines, ProcessorAndPortableRoundsAgreeOnLongStreams) {
    auto key = patternBytes(32, 7), fast = patternBytes(10001, 3), portable = fast;
    Block counter{};
    counter[14] = 0xFF, counter[15] = 0xF0;
    Aes256(key.data()).applyCounterStream(counter, fast.data(), fast.size());
    Aes256(key.data(), Aes256::Engine::Portable)
        .applyCounterStream(counter, portable.data(), portable.size());
    EXPECT_EQ(fast, portable);
}

TEST(KeyMaterialTest, DerivedKeysDifferFromEachOtherAndFromTheKey) {
    StorageKey key = StorageKey::random();
    KeyMaterial keys(key);
    Block check = checkValueOf(key);
    EXPECT_EQ(check, keys.checkValue());
    EXPECT_NE(check, checkValueOf(StorageKey::random()));
    BYTE zero[16] = {}, a[16], b[16], c[16];
    keys.contents().encryptBlock(zero, a);
    keys.catalog().encryptBlock(zero, b);
    keys.authentication().encryptBlock(zero, c);
    EXPECT_TRUE(std::memcmp(a, b, 16) && std::memcmp(a, c, 16) && std::memcmp(b, c, 16));
    EXPECT_EQ(std::search(check.begin(), check.end(), key.data(), key.data() + 8), check.end());
}

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

    // The stream's bytes: the ciphertext.
    std::vector<BYTE> stored() {
        std::vector<BYTE> bytes(static_cast<size_t>(file.size));
        data.stream->Seek({}, STREAM_SEEK_SET, nullptr);
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
        bool same = true;
        for (size_t i = from; i < to; ++i)
            same = same && (c1[i] ^ c2[i]) == (p1[i] ^ p2[i]);
        return same;
    }

    StorageKey key = StorageKey::random();
    Aes256 cipher{key.data()};
    DataStream data;
    CatalogItem file;
};

TEST_F(FileContentsTest, RewritesAndShrinkingTakeANewKeyStream) {
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
    const auto grown = plainText();
    EXPECT_TRUE(std::all_of(grown.begin() + 3 * 4096, grown.end(), [](BYTE b) { return !b; }));
}

} // namespace
} // namespace cfx::store::test
