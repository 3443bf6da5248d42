// Little-endian records: the writer appends fields to a byte buffer, the
// reader takes them back and fails with the HRESULT and text it was made
// with as soon as a field runs past the end, so that a damaged record can
// never be read out of bounds.
#pragma once

#include "StoreError.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace cfx::store {

class ByteWriter {
public:
    void u8(BYTE v) { bytes_.push_back(v); }
    void u16(WORD v) { little(v, 2); }
    void u32(DWORD v) { little(v, 4); }
    void u64(ULONGLONG v) { little(v, 8); }
    void raw(const void* data, size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void guid(const GUID& v) {
        u32(v.Data1);
        u16(v.Data2);
        u16(v.Data3);
        raw(v.Data4, 8);
    }
    void time(const FILETIME& v) { u64((ULONGLONG(v.dwHighDateTime) << 32) | v.dwLowDateTime); }
    // Length in UTF-16 units (32 bits), then the units.
    void text(const std::wstring& v) {
        u32(static_cast<DWORD>(v.size()));
        for (wchar_t c : v)
            u16(static_cast<WORD>(c));
    }
    // Length in bytes (32 bits), then the bytes.
    void blob(const std::vector<BYTE>& v) {
        u32(static_cast<DWORD>(v.size()));
        raw(v.data(), v.size());
    }

    std::vector<BYTE>& bytes() noexcept { return bytes_; }
    std::vector<BYTE> take() noexcept { return std::move(bytes_); }

private:
    void little(ULONGLONG v, int size) {
        for (int i = 0; i < size; ++i)
            bytes_.push_back(static_cast<BYTE>(v >> (8 * i)));
    }

    std::vector<BYTE> bytes_;
};

class ByteReader {
public:
    ByteReader(const BYTE* data, size_t size, HRESULT error, std::wstring description)
        : data_(data), size_(size), error_(error), description_(std::move(description)) {}

    BYTE u8() { return static_cast<BYTE>(little(1)); }
    WORD u16() { return static_cast<WORD>(little(2)); }
    DWORD u32() { return static_cast<DWORD>(little(4)); }
    ULONGLONG u64() { return little(8); }
    const BYTE* raw(size_t size) {
        need(size);
        const BYTE* p = data_ + position_;
        position_ += size;
        return p;
    }
    GUID guid() {
        GUID v;
        v.Data1 = u32();
        v.Data2 = u16();
        v.Data3 = u16();
        std::memcpy(v.Data4, raw(8), 8);
        return v;
    }
    FILETIME time() {
        ULONGLONG v = u64();
        return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
    }
    std::wstring text() {
        DWORD length = u32();
        need(size_t(length) * 2);
        std::wstring v(length, L'\0');
        for (DWORD i = 0; i < length; ++i)
            v[i] = static_cast<wchar_t>(u16());
        return v;
    }
    std::vector<BYTE> blob() {
        DWORD size = u32();
        const BYTE* p = raw(size);
        return std::vector<BYTE>(p, p + size);
    }

    size_t remaining() const noexcept { return size_ - position_; }
    size_t position() const noexcept { return position_; }
    [[noreturn]] void damaged() const { fail(error_, description_); }
    void expectEnd() const {
        if (remaining() != 0)
            damaged();
    }

private:
    void need(size_t size) const {
        if (size > size_ - position_)
            damaged();
    }
    ULONGLONG little(int size) {
        const BYTE* p = raw(static_cast<size_t>(size));
        ULONGLONG v = 0;
        for (int i = size - 1; i >= 0; --i)
            v = (v << 8) | p[i];
        return v;
    }

    const BYTE* data_;
    size_t size_;
    size_t position_ = 0;
    HRESULT error_;
    std::wstring description_;
};

} // namespace cfx::store
