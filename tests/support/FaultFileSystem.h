#pragma once

// A file system for tests that fails on purpose: the real one, except that
// the n-th call of a chosen operation (or every call from the n-th on, as a
// full disk stays full) fails with a chosen errno. It counts every call, so
// a clean run tells how many points there are to fail, and it can run a hook
// before a chosen call (to swap a folder at that very moment).

#include <array>
#include <functional>
#include <string>

#include "common/files/FileSystem.h"

namespace kmtest {

enum class TFsOp {
    Open,
    Mkdir,
    Rename,
    Unlink,
    Link,
    Symlink,
    Read,
    Write,
    CopyRange,
    Fsync,
    Truncate,
    Chmod,
    Utimens,
    Count
};

const char* FsOpName(TFsOp op);

class TFaultFileSystem : public km::IFileSystem {
  public:
    // The nth call (1-based) of op fails with error; with sticky, every call
    // from the nth on.
    void FailAt(TFsOp op, int nth, int error, bool sticky = false);
    // Runs hook just before the nth call of op is passed on.
    void Before(TFsOp op, int nth, std::function<void()> hook);
    int Calls(TFsOp op) const { return fCalls[static_cast<size_t>(op)]; }
    // Whether the planned failure happened.
    bool Fired() const { return fFired; }

    int OpenAt(int dir, const char* name, int flags, mode_t mode) override;
    int MkdirAt(int dir, const char* name, mode_t mode) override;
    int RenameAt(int fromDir, const char* from, int toDir, const char* to, unsigned flags) override;
    int UnlinkAt(int dir, const char* name, int flags) override;
    int LinkAt(int fromDir, const char* from, int toDir, const char* to, int flags) override;
    int SymlinkAt(const char* target, int dir, const char* name) override;
    ssize_t Read(int fd, void* buffer, size_t size) override;
    ssize_t Pread(int fd, void* buffer, size_t size, off_t offset) override;
    ssize_t Write(int fd, const void* buffer, size_t size) override;
    ssize_t CopyFileRange(int in, int out, size_t size) override;
    int Fsync(int fd) override;
    int Ftruncate(int fd, off_t length) override;
    int Fchmod(int fd, mode_t mode) override;
    int Futimens(int fd, const timespec times[2]) override;

  private:
    // Counts the call; true (with errno set) when it must fail.
    bool Fail(TFsOp op);

    km::IFileSystem& fReal = km::RealFileSystem();
    std::array<int, static_cast<size_t>(TFsOp::Count)> fCalls{};
    TFsOp fOp = TFsOp::Count;
    int fNth = 0;
    int fError = 0;
    bool fSticky = false;
    bool fFired = false;
    TFsOp fHookOp = TFsOp::Count;
    int fHookNth = 0;
    std::function<void()> fHook;
};

}  // namespace kmtest
