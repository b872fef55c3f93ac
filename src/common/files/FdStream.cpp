#include "common/files/FdStream.h"

#include <unistd.h>

#include <cerrno>

#include "common/files/FileSystem.h"

namespace km {
namespace {

// Large enough that a body arriving in 16 KiB blocks is written in few
// calls; small enough to keep memory flat.
constexpr std::size_t kBufferSize = std::size_t{256} << 10;

}  // namespace

TFdStreamBuf::TFdStreamBuf(int fd) : fFd(fd), fBuffer(kBufferSize) {
    setp(fBuffer.data(), fBuffer.data() + fBuffer.size());
}

TFdStreamBuf::~TFdStreamBuf() {
    Flush();
}

bool TFdStreamBuf::Flush() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    if (pending > 0) {
        if (const int err = WriteAll(fFd, pbase(), pending); err != 0 && fError == 0) {
            fError = err;
        }
        setp(fBuffer.data(), fBuffer.data() + fBuffer.size());
    }
    return fError == 0;
}

TFdStreamBuf::int_type TFdStreamBuf::overflow(int_type c) {
    if (!Flush()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize TFdStreamBuf::xsputn(const char* data, std::streamsize size) {
    const auto bytes = static_cast<std::size_t>(size);
    if (bytes <= static_cast<std::size_t>(epptr() - pptr())) {
        traits_type::copy(pptr(), data, bytes);
        pbump(static_cast<int>(bytes));
        return size;
    }
    if (!Flush()) {
        return 0;
    }
    if (bytes < fBuffer.size()) {
        traits_type::copy(pptr(), data, bytes);
        pbump(static_cast<int>(bytes));
        return size;
    }
    if (const int err = WriteAll(fFd, data, bytes); err != 0) {
        fError = fError == 0 ? err : fError;
        return 0;
    }
    return size;
}

int TFdStreamBuf::sync() {
    return Flush() ? 0 : -1;
}

TFdStreamBuf::pos_type TFdStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                             std::ios_base::openmode /*which*/) {
    if (!Flush()) {
        return pos_type(off_type(-1));
    }
    const int whence = dir == std::ios_base::beg   ? SEEK_SET
                       : dir == std::ios_base::cur ? SEEK_CUR
                                                   : SEEK_END;
    const off_t at = ::lseek(fFd, static_cast<off_t>(offset), whence);
    if (at < 0) {
        fError = fError == 0 ? errno : fError;
        return pos_type(off_type(-1));
    }
    return pos_type(static_cast<off_type>(at));
}

TFdStreamBuf::pos_type TFdStreamBuf::seekpos(pos_type position, std::ios_base::openmode which) {
    return seekoff(off_type(position), std::ios_base::beg, which);
}

}  // namespace km
