// What store_crash_writer.exe writes in each generation, as the writer and the
// crash-safety test both need to know it.
#pragma once

#include <windows.h>

#include <random>
#include <vector>

namespace cfx::store::test {

// More blocks than the engine holds in memory between two batches, so that
// changed bytes reach the file in the middle of a generation, not only when
// it commits.
constexpr size_t kCrashBlocks = 3072;

// The root's property that names the last committed generation.
constexpr GUID kGenerationProperty = {
    0x6E0B1F2A, 0x3C4D, 0x4E5F, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};

// The bytes of a block of data.bin in a generation (block 9999: the mark file).
inline std::vector<BYTE> generationBytes(ULONGLONG generation, size_t block) {
    std::vector<BYTE> bytes(4096);
    std::mt19937 random(static_cast<unsigned>(generation * 1000 + block));
    for (auto& b : bytes)
        b = static_cast<BYTE>(random());
    return bytes;
}

} // namespace cfx::store::test
