// A file's plaintext, read and written at any offset through its data stream.
//
// The data stream holds the ciphertext at the plaintext's offsets. Block b
// (4096 bytes) of a file is enciphered in counter mode from the counter block
//   nonce (8 bytes) | b (32 bits, big-endian) | generation (24 bits, big-endian) | 0
// A key-stream position is never used twice: bytes appended past the end use
// positions not used before; rewriting bytes inside the file re-enciphers
// their whole block under the next generation; shrinking a file, or a block
// running out of generations, re-enciphers the file under a new nonce.
#pragma once

#include "Aes256.h"
#include "Catalog.h"

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <array>
#include <string>

namespace cfx::store {

// A file's open data stream and the size the stream has: while writes grow
// a file the stream is made longer in steps ahead of them (growing a
// compound-file stream sector by sector is slow), and trim cuts it back to
// the file's size before a commit.
struct DataStream {
    Microsoft::WRL::ComPtr<IStream> stream;
    ULONGLONG capacity = 0;
};

class FileContents {
public:
    static constexpr ULONG kBlockSize = 4096;
    // Block numbers are 32 bits.
    static constexpr ULONGLONG kMaxSize = ULONGLONG(kBlockSize) << 32;

    FileContents(DataStream& data, CatalogItem& file, const Aes256& cipher);

    // Bytes read; fewer than asked at the end of the file.
    ULONG read(ULONGLONG offset, BYTE* data, ULONG size);
    // Writing past the end fills the gap with zero bytes.
    void write(ULONGLONG offset, const BYTE* data, size_t size);
    void resize(ULONGLONG size);
    // MD5 of the plaintext.
    std::array<BYTE, 16> digest();
    // Gives the stream the file's size again.
    void trim();

private:
    Block counterFor(DWORD block, DWORD generation) const;
    DWORD generationOf(DWORD block) const;
    // XORs the key stream of [offset, offset + size) into data.
    void applyKeyStream(ULONGLONG offset, BYTE* data, size_t size) const;
    // Moves the stream to offset, for the two below.
    HRESULT seek(ULONGLONG offset);
    void readCipher(ULONGLONG offset, BYTE* data, ULONG size);
    void writeCipher(ULONGLONG offset, const BYTE* data, ULONG size);
    void append(const BYTE* data, size_t size); // at the end; data null means zeros
    void rewriteBlock(DWORD block, ULONG from, const BYTE* data, ULONG size);
    void renewNonce(ULONGLONG keep);
    void setStreamSize(ULONGLONG size);
    [[noreturn]] void streamFailed(HRESULT hr, const wchar_t* action) const;

    DataStream& data_;
    IStream* stream_;
    CatalogItem& file_;
    const Aes256& cipher_;
};

} // namespace cfx::store
