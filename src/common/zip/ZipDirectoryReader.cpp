#include "common/zip/ZipDirectoryReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/files/FileSystem.h"

namespace km {
namespace {

constexpr uint32_t kCentralHeaderSig = 0x02014b50;
constexpr uint32_t kEndRecordSig = 0x06054b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;
constexpr uint32_t kZip64EndRecordSig = 0x06064b50;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kMaxCommentSize = 0xFFFF;
constexpr std::size_t kChunk = 64 * 1024;

uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const unsigned char* p) {
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

bool PreadFull(int fd, uint64_t offset, std::size_t len, unsigned char* out) {
    while (len > 0) {
        const ssize_t n = Fs().Pread(fd, out, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        out += n;
        offset += static_cast<uint64_t>(n);
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool TZipDirectoryReader::Open(int fd) {
    fFd = fd;
    fEntriesRead = 0;
    fBufferLength = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kEndRecordSize)) {
        return false;
    }
    return FindEndRecord(static_cast<uint64_t>(st.st_size));
}

bool TZipDirectoryReader::FindEndRecord(uint64_t fileSize) {
    const std::size_t tailSize =
        static_cast<std::size_t>(std::min<uint64_t>(fileSize, kEndRecordSize + kMaxCommentSize));
    std::vector<unsigned char> tail(tailSize);
    const uint64_t tailOffset = fileSize - tailSize;
    if (!PreadFull(fFd, tailOffset, tailSize, tail.data())) {
        return false;
    }
    // The last end record whose comment reaches exactly to the end of the
    // file; failing that, the last one at all.
    std::size_t found = std::string::npos;
    for (std::size_t pos = tailSize - kEndRecordSize + 1; pos-- > 0;) {
        if (Le32(&tail[pos]) != kEndRecordSig) {
            continue;
        }
        if (found == std::string::npos) {
            found = pos;
        }
        if (pos + kEndRecordSize + Le16(&tail[pos + 20]) == tailSize) {
            found = pos;
            break;
        }
    }
    if (found == std::string::npos) {
        return false;
    }
    const unsigned char* end = &tail[found];
    const uint64_t endOffset = tailOffset + found;
    fEntryCount = Le16(end + 10);
    uint64_t size = Le32(end + 12);
    uint64_t offset = Le32(end + 16);
    if (fEntryCount == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
        unsigned char locator[kZip64LocatorSize];
        unsigned char record[kZip64EndRecordSize];
        if (endOffset < kZip64LocatorSize ||
            !PreadFull(fFd, endOffset - kZip64LocatorSize, sizeof locator, locator) ||
            Le32(locator) != kZip64LocatorSig ||
            !PreadFull(fFd, Le64(locator + 8), sizeof record, record) ||
            Le32(record) != kZip64EndRecordSig) {
            return false;
        }
        fEntryCount = Le64(record + 32);
        size = Le64(record + 40);
        offset = Le64(record + 48);
    }
    unsigned char sig[4];
    const auto startsDirectory = [&](uint64_t at) {
        return fEntryCount == 0 ||
               (PreadFull(fFd, at, sizeof sig, sig) && Le32(sig) == kCentralHeaderSig);
    };
    if (!startsDirectory(offset)) {
        // Data in front of the archive shift every offset by the same amount.
        if (size > endOffset || !startsDirectory(endOffset - size)) {
            return false;
        }
        offset = endOffset - size;
    }
    fPos = offset;
    fEnd = offset + size;
    return true;
}

bool TZipDirectoryReader::Next(TZipCentralHeader& header) {
    unsigned char h[kCentralHeaderSize];
    if (fEntriesRead >= fEntryCount || fPos + kCentralHeaderSize > fEnd ||
        !ReadAt(fPos, sizeof h, h) || Le32(h) != kCentralHeaderSig) {
        return false;
    }
    header.VersionMadeBy = Le16(h + 4);
    header.VersionNeeded = Le16(h + 6);
    header.Flags = Le16(h + 8);
    header.Method = Le16(h + 10);
    fPos += kCentralHeaderSize + Le16(h + 28) + Le16(h + 30) + Le16(h + 32);
    ++fEntriesRead;
    return fPos <= fEnd;
}

bool TZipDirectoryReader::ReadAt(uint64_t offset, std::size_t len, unsigned char* out) {
    if (offset < fBufferOffset || offset + len > fBufferOffset + fBufferLength) {
        fBuffer.resize(kChunk);
        const uint64_t available = fEnd - offset;
        fBufferLength = static_cast<std::size_t>(std::min<uint64_t>(kChunk, available));
        fBufferOffset = offset;
        if (fBufferLength < len || !PreadFull(fFd, offset, fBufferLength, fBuffer.data())) {
            fBufferLength = 0;
            return false;
        }
    }
    std::memcpy(out, fBuffer.data() + (offset - fBufferOffset), len);
    return true;
}

}  // namespace km
