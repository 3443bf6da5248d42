#include "ServerStream.h"

#include "Served.h"

#include "common/Exceptions.h"

#include <algorithm>
#include <new>

namespace cfx::storeserver {

namespace {

template <class Body> HRESULT serve(Body&& body) noexcept {
    return served(IID_IStream, std::forward<Body>(body));
}

} // namespace

ServerStream::ServerStream(ItemPlace file, store::FileStream stream, ULONGLONG position)
    : file_(std::move(file)), stream_(std::move(stream)), position_(position) {
    addExtraInterface(IID_ISequentialStream, static_cast<IStream*>(this));
}

ServerStream::~ServerStream() {
    // A client that wrote and let go expects its bytes kept; a storage that
    // was closed meanwhile has committed them already or lost them with its
    // opening, so a failure here has nobody to tell.
    if (written_) {
        try {
            use([](store::FileStream& stream) { stream.commit(); });
        } catch (...) {
        }
    }
}

STDMETHODIMP ServerStream::Read(void* buffer, ULONG size, ULONG* read) {
    return serve([&] {
        if (read)
            *read = 0;
        if (size == 0)
            return;
        ULONG count = use([&](store::FileStream& stream) {
            return stream.read(position_, notNull(buffer), size);
        });
        position_ += count;
        if (read)
            *read = count;
    });
}

STDMETHODIMP ServerStream::Write(const void* buffer, ULONG size, ULONG* written) {
    return serve([&] {
        if (written)
            *written = 0;
        if (size == 0)
            return;
        use([&](store::FileStream& stream) { stream.write(position_, notNull(buffer), size); });
        written_ = true;
        position_ += size;
        if (written)
            *written = size;
    });
}

STDMETHODIMP ServerStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
    return serve([&] {
        LONGLONG base = 0;
        switch (origin) {
        case STREAM_SEEK_SET:
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<LONGLONG>(position_);
            break;
        case STREAM_SEEK_END:
            base = static_cast<LONGLONG>(use([](store::FileStream& s) { return s.size(); }));
            break;
        default:
            raise(STG_E_INVALIDFUNCTION);
        }
        if (base + move.QuadPart < 0)
            raise(STG_E_INVALIDFUNCTION);
        position_ = static_cast<ULONGLONG>(base + move.QuadPart);
        if (position)
            position->QuadPart = position_;
    });
}

STDMETHODIMP ServerStream::SetSize(ULARGE_INTEGER size) {
    return serve([&] {
        use([&](store::FileStream& stream) { stream.setSize(size.QuadPart); });
        written_ = true;
    });
}

STDMETHODIMP ServerStream::CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                  ULARGE_INTEGER* written) {
    return serve([&] {
        notNull(target);
        BYTE block[65536];
        ULONGLONG left = size.QuadPart, totalRead = 0, totalWritten = 0;
        while (left > 0) {
            ULONG want = static_cast<ULONG>(std::min<ULONGLONG>(left, sizeof block));
            ULONG got =
                use([&](store::FileStream& stream) { return stream.read(position_, block, want); });
            if (got == 0)
                break;
            position_ += got;
            totalRead += got;
            ULONG put = 0;
            check(target->Write(block, got, &put));
            totalWritten += put;
            left -= got;
        }
        if (read)
            read->QuadPart = totalRead;
        if (written)
            written->QuadPart = totalWritten;
    });
}

STDMETHODIMP ServerStream::Commit(DWORD) {
    return serve([&] { use([](store::FileStream& stream) { stream.commit(); }); });
}

STDMETHODIMP ServerStream::Stat(STATSTG* stat, DWORD flags) {
    return serve([&] {
        notNull(stat);
        STATSTG result{};
        store::ItemInfo info = file_.use([](store::Item& item) { return item.info(); });
        if (!(flags & STATFLAG_NONAME)) {
            const size_t bytes = (info.name.size() + 1) * sizeof(wchar_t);
            result.pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
            if (!result.pwcsName)
                throw std::bad_alloc();
            std::copy_n(info.name.c_str(), info.name.size() + 1, result.pwcsName);
        }
        result.type = STGTY_STREAM;
        result.cbSize.QuadPart = info.size;
        result.mtime = info.times.write;
        result.ctime = info.times.creation;
        result.atime = info.times.access;
        result.grfMode = STGM_READWRITE;
        *stat = result;
    });
}

STDMETHODIMP ServerStream::Clone(IStream** clone) {
    return serve([&] {
        *notNull(clone) = nullptr;
        use([](store::FileStream&) {});
        *clone = new ServerStream(file_, stream_, position_);
    });
}

STDMETHODIMP ServerStream::InterfaceSupportsErrorInfo(REFIID iid) {
    return IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream) ? S_OK : S_FALSE;
}

} // namespace cfx::storeserver
