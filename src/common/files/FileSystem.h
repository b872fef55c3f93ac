#pragma once

// The one seam between the update engine and the file system.
//
// Every call that changes a file or folder, and every read of file content,
// goes through an IFileSystem, so that tests can fail any of them (a full
// disk at the tenth write, EXDEV on a rename, EIO on a read) without mounts
// or privileges. Each operation is the POSIX call of the same name and
// reports failure the same way: -1 (or a negative count) with errno set.
// Calls that only look (fstat, readlink, directory listings) go to the
// kernel directly; nothing a fault there could show is not already shown by
// the calls below.
//
// The file system in use is the calling thread's: the real one unless a
// TFileSystemScope has installed another on this thread. The update run
// installs the one it was given for its whole run, so the worker thread,
// the command-line updater and the tests each decide for themselves.

#include <sys/types.h>

#include <cstddef>
#include <ctime>

namespace km {

class IFileSystem {
  public:
    virtual ~IFileSystem() = default;

    virtual int OpenAt(int dir, const char* name, int flags, mode_t mode) = 0;
    virtual int MkdirAt(int dir, const char* name, mode_t mode) = 0;
    // renameat2(2): flags 0, RENAME_NOREPLACE or RENAME_EXCHANGE.
    virtual int RenameAt(int fromDir, const char* from, int toDir, const char* to,
                         unsigned flags) = 0;
    virtual int UnlinkAt(int dir, const char* name, int flags) = 0;
    virtual int LinkAt(int fromDir, const char* from, int toDir, const char* to, int flags) = 0;
    virtual int SymlinkAt(const char* target, int dir, const char* name) = 0;
    virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
    virtual ssize_t Pread(int fd, void* buffer, size_t size, off_t offset) = 0;
    virtual ssize_t Write(int fd, const void* buffer, size_t size) = 0;
    // copy_file_range(2) from the files' current positions.
    virtual ssize_t CopyFileRange(int in, int out, size_t size) = 0;
    virtual int Fsync(int fd) = 0;
    virtual int Ftruncate(int fd, off_t length) = 0;
    virtual int Fchmod(int fd, mode_t mode) = 0;
    virtual int Futimens(int fd, const timespec times[2]) = 0;
};

// The kernel's own calls.
class TRealFileSystem : public IFileSystem {
  public:
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
};

// The calling thread's file system.
IFileSystem& Fs();

// The process's real file system (stateless; shared by every thread).
IFileSystem& RealFileSystem();

// Installs fileSystem for the calling thread until the scope ends; scopes
// nest. fileSystem must outlive the scope.
class TFileSystemScope {
  public:
    explicit TFileSystemScope(IFileSystem& fileSystem);
    ~TFileSystemScope();
    TFileSystemScope(const TFileSystemScope&) = delete;
    TFileSystemScope& operator=(const TFileSystemScope&) = delete;

  private:
    IFileSystem* fPrevious;
};

// Writes all of size bytes through Fs(), retrying short writes and EINTR.
// Returns 0 or an errno value (ENOSPC for a write that wrote nothing).
int WriteAll(int fd, const void* buffer, size_t size);

}  // namespace km
