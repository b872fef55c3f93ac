#include "common/files/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace km {
namespace {

thread_local IFileSystem* tCurrent = nullptr;

}  // namespace

int TRealFileSystem::OpenAt(int dir, const char* name, int flags, mode_t mode) {
    return ::openat(dir, name, flags, mode);
}

int TRealFileSystem::MkdirAt(int dir, const char* name, mode_t mode) {
    return ::mkdirat(dir, name, mode);
}

int TRealFileSystem::RenameAt(int fromDir, const char* from, int toDir, const char* to,
                              unsigned flags) {
    return flags == 0 ? ::renameat(fromDir, from, toDir, to)
                      : ::renameat2(fromDir, from, toDir, to, flags);
}

int TRealFileSystem::UnlinkAt(int dir, const char* name, int flags) {
    return ::unlinkat(dir, name, flags);
}

int TRealFileSystem::LinkAt(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return ::linkat(fromDir, from, toDir, to, flags);
}

int TRealFileSystem::SymlinkAt(const char* target, int dir, const char* name) {
    return ::symlinkat(target, dir, name);
}

ssize_t TRealFileSystem::Read(int fd, void* buffer, size_t size) {
    return ::read(fd, buffer, size);
}

ssize_t TRealFileSystem::Pread(int fd, void* buffer, size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset);
}

ssize_t TRealFileSystem::Write(int fd, const void* buffer, size_t size) {
    return ::write(fd, buffer, size);
}

ssize_t TRealFileSystem::CopyFileRange(int in, int out, size_t size) {
    return ::copy_file_range(in, nullptr, out, nullptr, size, 0);
}

int TRealFileSystem::Fsync(int fd) {
    return ::fsync(fd);
}

int TRealFileSystem::Ftruncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}

int TRealFileSystem::Fchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}

int TRealFileSystem::Futimens(int fd, const timespec times[2]) {
    return ::futimens(fd, times);
}

IFileSystem& RealFileSystem() {
    static TRealFileSystem real;
    return real;
}

IFileSystem& Fs() {
    return tCurrent != nullptr ? *tCurrent : RealFileSystem();
}

TFileSystemScope::TFileSystemScope(IFileSystem& fileSystem) : fPrevious(tCurrent) {
    tCurrent = &fileSystem;
}

TFileSystemScope::~TFileSystemScope() {
    tCurrent = fPrevious;
}

int WriteAll(int fd, const void* buffer, size_t size) {
    const auto* bytes = static_cast<const char*>(buffer);
    for (size_t done = 0; done < size;) {
        const ssize_t n = Fs().Write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace km
