// The engine's cryptographic building blocks against the published vectors:
// AES-256 (FIPS-197 appendix C.3, SP 800-38A F.1.5), counter mode (SP 800-38A
// F.5.5) and CMAC (SP 800-38B, AES-256 examples), with the processor's AES
// instructions and with the portable rounds; and Base64 as properties use it.
#include "Aes256.h"
#include "common/Base64.h"
#include "Cmac.h"
#include "KeyMaterial.h"
#include "KeyStateRecord.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cfx::store::test {
namespace {

std::vector<BYTE> hex(const char* text) {
    std::vector<BYTE> bytes;
    for (const char* p = text; p[0] && p[1]; p += 2) {
        while (*p == ' ')
            ++p;
        bytes.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
    }
    return bytes;
}

const char kSp800Key[] = "603deb1015ca71be2b73aef0857d7781"
                         "1f352c073b6108d72d9810a30914dff4";
const char kSp800Plain[] = "6bc1bee22e409f96e93d7e117393172a"
                           "ae2d8a571e03ac9c9eb76fac45af8e51"
                           "30c81c46a35ce411e5fbc1191a0a52ef"
                           "f69f2445df4f9b17ad2b417be66c3710";

class CipherTest : public testing::TestWithParam<Aes256::Engine> {};

TEST_P(CipherTest, Fips197AppendixC3) {
    auto key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    auto plain = hex("00112233445566778899aabbccddeeff");
    Aes256 aes(key.data(), GetParam());
    BYTE out[16];
    aes.encryptBlock(plain.data(), out);
    EXPECT_EQ(std::vector<BYTE>(out, out + 16), hex("8ea2b7ca516745bfeafc49904b496089"));
}

TEST_P(CipherTest, Sp800_38aEcbAes256) {
    auto key = hex(kSp800Key);
    auto plain = hex(kSp800Plain);
    auto expected = hex("f3eed1bdb5d2a03c064b5a7e3db181f8"
                        "591ccb10d410ed26dc5ba74a31362870"
                        "b6ed21b99ca6f4f9f153e7b1beafed1d"
                        "23304b7a39f9f3ff067d8d8f9e24ecc7");
    Aes256 aes(key.data(), GetParam());
    std::vector<BYTE> out(plain.size());
    for (size_t i = 0; i < plain.size(); i += 16)
        aes.encryptBlock(plain.data() + i, out.data() + i);
    EXPECT_EQ(out, expected);
}

TEST_P(CipherTest, Sp800_38aCtrAes256) {
    auto key = hex(kSp800Key);
    auto data = hex(kSp800Plain);
    auto counter = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    auto expected = hex("601ec313775789a5b7a7f504bbf3d228"
                        "f443e3ca4d62b59aca84e990cacaf5c5"
                        "2b0930daa23de94ce87017ba2d84988d"
                        "dfc9c58db67aada613c2dd08457941a6");
    Aes256 aes(key.data(), GetParam());
    Block start;
    std::copy(counter.begin(), counter.end(), start.begin());
    aes.applyCounterStream(start, data.data(), data.size());
    EXPECT_EQ(data, expected);
    // Counter mode is its own inverse; a short tail uses part of a block.
    aes.applyCounterStream(start, data.data(), data.size() - 5);
    auto plain = hex(kSp800Plain);
    EXPECT_TRUE(std::equal(data.begin(), data.end() - 5, plain.begin()));
    EXPECT_FALSE(std::equal(data.end() - 5, data.end(), plain.end() - 5));
}

TEST_P(CipherTest, Sp800_38bCmacAes256) {
    auto key = hex(kSp800Key);
    auto message = hex(kSp800Plain);
    Aes256 aes(key.data(), GetParam());
    struct Example {
        size_t length;
        const char* tag;
    };
    const Example examples[] = {{0, "028962f61b7bf89efc6b551f4667d983"},
                                {16, "28a7023f452e8f82bd4bf28d8c37c35c"},
                                {40, "aaf3d8f1de5640c232f5b169b9c911e6"},
                                {64, "e1992190549f6ed5696a2c056c315410"}};
    for (const Example& example : examples) {
        Block tag = cmac(aes, message.data(), example.length);
        EXPECT_EQ(std::vector<BYTE>(tag.begin(), tag.end()), hex(example.tag))
            << "message length " << example.length;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, CipherTest,
                         testing::Values(Aes256::Engine::Automatic, Aes256::Engine::Portable));

TEST(CipherEngines, ProcessorAndPortableRoundsAgreeOnLongStreams) {
    auto key = patternBytes(32, 7);
    Aes256 fast(key.data()), portable(key.data(), Aes256::Engine::Portable);
    EXPECT_FALSE(portable.usesProcessorInstructions());
    for (size_t size : {1u, 15u, 16u, 17u, 127u, 128u, 129u, 4096u, 10000u}) {
        auto a = patternBytes(size, 3), b = a;
        Block counter{};
        counter[15] = 0xF0; // the count carries into the next byte
        counter[14] = 0xFF;
        fast.applyCounterStream(counter, a.data(), a.size());
        portable.applyCounterStream(counter, b.data(), b.size());
        EXPECT_EQ(a, b) << "size " << size;
    }
}

TEST(KeyMaterialTest, DerivedKeysDifferFromEachOtherAndFromTheKey) {
    StorageKey key = StorageKey::random();
    StorageKey other = StorageKey::random();
    KeyMaterial keys(key);
    Block check = checkValueOf(key);
    EXPECT_EQ(check, keys.checkValue());
    EXPECT_NE(check, checkValueOf(other));
    BYTE zero[16] = {}, a[16], b[16], c[16];
    keys.contents().encryptBlock(zero, a);
    keys.catalog().encryptBlock(zero, b);
    keys.authentication().encryptBlock(zero, c);
    EXPECT_NE(std::memcmp(a, b, 16), 0);
    EXPECT_NE(std::memcmp(a, c, 16), 0);
    EXPECT_NE(std::memcmp(b, c, 16), 0);
    EXPECT_EQ(std::search(check.begin(), check.end(), key.data(), key.data() + 8), check.end());
}

// Decoding rules beyond tails are the support library's (CertificateStoreTest);
// here the engine's own error for key text that does not decode.
TEST(Base64Test, RoundTripsEveryLengthAndRefusesADanglingCharacter) {
    for (size_t size = 0; size < 70; ++size) {
        auto bytes = patternBytes(size, static_cast<unsigned>(size));
        EXPECT_EQ(fromBase64(toBase64(bytes)), bytes);
    }
    EXPECT_EQ(toBase64(reinterpret_cast<const BYTE*>("Ma"), 2), L"TWE=");
    EXPECT_TRUE(failsWith(E_INVALIDARG, [] { keyTextBytes(L"TWFuT"); }));
}

} // namespace
} // namespace cfx::store::test
