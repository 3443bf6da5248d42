#include "FileContents.h"

#include "ItemName.h"
#include "KeyMaterial.h"
#include "StoreError.h"

#include "common/Handles.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace cfx::store {

namespace {

constexpr DWORD kMaxGeneration = 0xFFFFFF;
// Bytes enciphered and written in one go.
constexpr size_t kChunk = 1 << 20;

} // namespace

FileContents::FileContents(DataStream& data, CatalogItem& file, const Aes256& cipher)
    : data_(data), stream_(data.stream.Get()), file_(file), cipher_(cipher) {}

void FileContents::setStreamSize(ULONGLONG size) {
    ULARGE_INTEGER newSize;
    newSize.QuadPart = size;
    HRESULT hr = stream_->SetSize(newSize);
    if (FAILED(hr))
        streamFailed(hr, L"resize");
    data_.capacity = size;
}

void FileContents::trim() {
    if (data_.capacity != file_.size)
        setStreamSize(file_.size);
}

void FileContents::streamFailed(HRESULT hr, const wchar_t* action) const {
    fail(hr, std::wstring(L"Unable to ") + action + L" the contents of " + shownName(file_.name) +
                 L": " + systemText(hr));
}

Block FileContents::counterFor(DWORD block, DWORD generation) const {
    Block counter{};
    std::memcpy(counter.data(), &file_.nonce, 8);
    counter[8] = static_cast<BYTE>(block >> 24);
    counter[9] = static_cast<BYTE>(block >> 16);
    counter[10] = static_cast<BYTE>(block >> 8);
    counter[11] = static_cast<BYTE>(block);
    counter[12] = static_cast<BYTE>(generation >> 16);
    counter[13] = static_cast<BYTE>(generation >> 8);
    counter[14] = static_cast<BYTE>(generation);
    return counter;
}

DWORD FileContents::generationOf(DWORD block) const {
    auto found = file_.generations.find(block);
    return found == file_.generations.end() ? 0 : found->second;
}

void FileContents::applyKeyStream(ULONGLONG offset, BYTE* data, size_t size) const {
    while (size > 0) {
        DWORD block = static_cast<DWORD>(offset / kBlockSize);
        ULONG within = static_cast<ULONG>(offset % kBlockSize);
        size_t n = std::min<size_t>(size, kBlockSize - within);
        Block counter = counterFor(block, generationOf(block));
        addToCounter(counter, within / 16);
        ULONG skip = within % 16;
        if (skip) {
            // A start inside a cipher block: use the tail of its key stream.
            BYTE stream[16];
            cipher_.encryptBlock(counter.data(), stream);
            size_t m = std::min<size_t>(n, 16 - skip);
            for (size_t i = 0; i < m; ++i)
                data[i] ^= stream[skip + i];
            addToCounter(counter, 1);
            cipher_.applyCounterStream(counter, data + m, n - m);
        } else {
            cipher_.applyCounterStream(counter, data, n);
        }
        offset += n;
        data += n;
        size -= n;
    }
}

HRESULT FileContents::seek(ULONGLONG offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return stream_->Seek(to, STREAM_SEEK_SET, nullptr);
}

void FileContents::readCipher(ULONGLONG offset, BYTE* data, ULONG size) {
    HRESULT hr = seek(offset);
    ULONG got = 0;
    if (SUCCEEDED(hr))
        hr = stream_->Read(data, size, &got);
    if (FAILED(hr))
        streamFailed(hr, L"read");
    if (got != size)
        fail(STG_E_DOCFILECORRUPT,
             L"The contents of " + shownName(file_.name) +
                 L" are shorter than the catalog says: the storage is damaged.");
}

void FileContents::writeCipher(ULONGLONG offset, const BYTE* data, ULONG size) {
    HRESULT hr = seek(offset);
    ULONG done = 0;
    if (SUCCEEDED(hr))
        hr = stream_->Write(data, size, &done);
    if (SUCCEEDED(hr) && done != size)
        hr = STG_E_MEDIUMFULL;
    if (FAILED(hr))
        streamFailed(hr, L"write");
}

ULONG FileContents::read(ULONGLONG offset, BYTE* data, ULONG size) {
    if (offset >= file_.size || size == 0)
        return 0;
    ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(size, file_.size - offset));
    readCipher(offset, data, n);
    applyKeyStream(offset, data, n);
    return n;
}

void FileContents::append(const BYTE* data, size_t size) {
    ULONGLONG needed = file_.size + size;
    if (needed > data_.capacity) {
        // An eighth of the file ahead, from 256 KiB to 4 MiB, in whole blocks.
        ULONGLONG step = std::clamp<ULONGLONG>(file_.size / 8, 256 << 10, 4 << 20);
        ULONGLONG capacity = std::max(needed, data_.capacity + step);
        setStreamSize((capacity + kBlockSize - 1) / kBlockSize * kBlockSize);
    }
    std::vector<BYTE> buffer(std::min(size, kChunk));
    while (size > 0) {
        size_t n = std::min(size, kChunk);
        if (data)
            std::memcpy(buffer.data(), data, n);
        else
            std::fill_n(buffer.begin(), n, BYTE(0));
        applyKeyStream(file_.size, buffer.data(), n);
        writeCipher(file_.size, buffer.data(), static_cast<ULONG>(n));
        file_.size += n;
        if (data)
            data += n;
        size -= n;
    }
}

void FileContents::rewriteBlock(DWORD block, ULONG from, const BYTE* data, ULONG size) {
    if (generationOf(block) == kMaxGeneration)
        renewNonce(file_.size);
    ULONGLONG start = ULONGLONG(block) * kBlockSize;
    ULONG valid = static_cast<ULONG>(std::min<ULONGLONG>(kBlockSize, file_.size - start));
    BYTE plain[kBlockSize];
    if (from > 0 || from + size < valid) {
        readCipher(start, plain, valid);
        applyKeyStream(start, plain, valid);
    }
    std::memcpy(plain + from, data, size);
    file_.generations[block] = generationOf(block) + 1;
    applyKeyStream(start, plain, valid);
    writeCipher(start, plain, valid);
    SecureZeroMemory(plain, sizeof plain);
}

void FileContents::write(ULONGLONG offset, const BYTE* data, size_t size) {
    if (size == 0)
        return;
    if (offset > kMaxSize || size > kMaxSize - offset)
        fail(STG_E_MEDIUMFULL, L"A file in a storage is at most 16 TiB long; " +
                                   shownName(file_.name) + L" cannot grow further.");
    if (offset > file_.size)
        append(nullptr, offset - file_.size);
    ULONGLONG end = offset + size;
    // Bytes inside the file: block by block, each under a new generation.
    ULONGLONG position = offset;
    while (position < std::min(end, file_.size)) {
        DWORD block = static_cast<DWORD>(position / kBlockSize);
        ULONG from = static_cast<ULONG>(position % kBlockSize);
        ULONGLONG stop = std::min({end, file_.size, ULONGLONG(block + 1) * kBlockSize});
        rewriteBlock(block, from, data + (position - offset), static_cast<ULONG>(stop - position));
        position = stop;
    }
    if (end > file_.size)
        append(data + (position - offset), static_cast<size_t>(end - position));
}

void FileContents::renewNonce(ULONGLONG keep) {
    std::map<DWORD, DWORD> oldGenerations;
    oldGenerations.swap(file_.generations);
    ULONGLONG oldNonce = file_.nonce;
    ULONGLONG newNonce = oldNonce;
    while (newNonce == oldNonce)
        randomBytes(&newNonce, sizeof newNonce);
    std::vector<BYTE> buffer(static_cast<size_t>(std::min<ULONGLONG>(keep, kChunk)));
    for (ULONGLONG position = 0; position < keep;) {
        ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(keep - position, kChunk));
        readCipher(position, buffer.data(), n);
        file_.nonce = oldNonce;
        file_.generations.swap(oldGenerations);
        applyKeyStream(position, buffer.data(), n);
        file_.generations.swap(oldGenerations);
        file_.nonce = newNonce;
        applyKeyStream(position, buffer.data(), n);
        writeCipher(position, buffer.data(), n);
        position += n;
    }
    SecureZeroMemory(buffer.data(), buffer.size());
    file_.nonce = newNonce;
}

void FileContents::resize(ULONGLONG size) {
    if (size > kMaxSize)
        fail(STG_E_MEDIUMFULL, L"A file in a storage is at most 16 TiB long.");
    if (size > file_.size) {
        append(nullptr, static_cast<size_t>(size - file_.size));
        return;
    }
    if (size == file_.size)
        return;
    renewNonce(size);
    setStreamSize(size);
    file_.size = size;
}

std::array<BYTE, 16> FileContents::digest() {
    CryptHash hash;
    if (!CryptCreateHash(cryptoProvider(), CALG_MD5, 0, 0, hash.put()))
        failLastError(L"Unable to compute the checksum of " + shownName(file_.name));
    std::vector<BYTE> buffer(kChunk);
    for (ULONGLONG position = 0; position < file_.size;) {
        ULONG n = read(position, buffer.data(), static_cast<ULONG>(buffer.size()));
        if (!CryptHashData(hash.get(), buffer.data(), n, 0))
            failLastError(L"Unable to compute the checksum of " + shownName(file_.name));
        position += n;
    }
    SecureZeroMemory(buffer.data(), buffer.size());
    std::array<BYTE, 16> result{};
    DWORD size = 16;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, result.data(), &size, 0))
        failLastError(L"Unable to compute the checksum of " + shownName(file_.name));
    return result;
}

} // namespace cfx::store
