#include "support/FaultFileSystem.h"

#include <cerrno>
#include <utility>

namespace kmtest {

const char* FsOpName(TFsOp op) {
    static constexpr const char* kNames[] = {
        "open",  "mkdir",           "rename", "unlink",    "link",   "symlink", "read",
        "write", "copy_file_range", "fsync",  "ftruncate", "fchmod", "futimens"};
    return op < TFsOp::Count ? kNames[static_cast<size_t>(op)] : "?";
}

void TFaultFileSystem::FailAt(TFsOp op, int nth, int error, bool sticky) {
    fOp = op;
    fNth = nth;
    fError = error;
    fSticky = sticky;
}

void TFaultFileSystem::Before(TFsOp op, int nth, std::function<void()> hook) {
    fHookOp = op;
    fHookNth = nth;
    fHook = std::move(hook);
}

bool TFaultFileSystem::Fail(TFsOp op) {
    const int call = ++fCalls[static_cast<size_t>(op)];
    if (op == fHookOp && call == fHookNth && fHook) {
        std::exchange(fHook, nullptr)();
    }
    if (op == fOp && (call == fNth || (fSticky && call > fNth))) {
        fFired = true;
        errno = fError;
        return true;
    }
    return false;
}

int TFaultFileSystem::OpenAt(int dir, const char* name, int flags, mode_t mode) {
    return Fail(TFsOp::Open) ? -1 : fReal.OpenAt(dir, name, flags, mode);
}

int TFaultFileSystem::MkdirAt(int dir, const char* name, mode_t mode) {
    return Fail(TFsOp::Mkdir) ? -1 : fReal.MkdirAt(dir, name, mode);
}

int TFaultFileSystem::RenameAt(int fromDir, const char* from, int toDir, const char* to,
                               unsigned flags) {
    return Fail(TFsOp::Rename) ? -1 : fReal.RenameAt(fromDir, from, toDir, to, flags);
}

int TFaultFileSystem::UnlinkAt(int dir, const char* name, int flags) {
    return Fail(TFsOp::Unlink) ? -1 : fReal.UnlinkAt(dir, name, flags);
}

int TFaultFileSystem::LinkAt(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return Fail(TFsOp::Link) ? -1 : fReal.LinkAt(fromDir, from, toDir, to, flags);
}

int TFaultFileSystem::SymlinkAt(const char* target, int dir, const char* name) {
    return Fail(TFsOp::Symlink) ? -1 : fReal.SymlinkAt(target, dir, name);
}

ssize_t TFaultFileSystem::Read(int fd, void* buffer, size_t size) {
    return Fail(TFsOp::Read) ? -1 : fReal.Read(fd, buffer, size);
}

ssize_t TFaultFileSystem::Pread(int fd, void* buffer, size_t size, off_t offset) {
    return Fail(TFsOp::Read) ? -1 : fReal.Pread(fd, buffer, size, offset);
}

ssize_t TFaultFileSystem::Write(int fd, const void* buffer, size_t size) {
    return Fail(TFsOp::Write) ? -1 : fReal.Write(fd, buffer, size);
}

ssize_t TFaultFileSystem::CopyFileRange(int in, int out, size_t size) {
    return Fail(TFsOp::CopyRange) ? -1 : fReal.CopyFileRange(in, out, size);
}

int TFaultFileSystem::Fsync(int fd) {
    return Fail(TFsOp::Fsync) ? -1 : fReal.Fsync(fd);
}

int TFaultFileSystem::Ftruncate(int fd, off_t length) {
    return Fail(TFsOp::Truncate) ? -1 : fReal.Ftruncate(fd, length);
}

int TFaultFileSystem::Fchmod(int fd, mode_t mode) {
    return Fail(TFsOp::Chmod) ? -1 : fReal.Fchmod(fd, mode);
}

int TFaultFileSystem::Futimens(int fd, const timespec times[2]) {
    return Fail(TFsOp::Utimens) ? -1 : fReal.Futimens(fd, times);
}

}  // namespace kmtest
