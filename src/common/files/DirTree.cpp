#include "common/files/DirTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/files/FileSystem.h"
#include "common/files/StagedFile.h"
#include "common/files/UniqueFd.h"

namespace km {
namespace {

constexpr mode_t kKeptModeBits = 01777;  // permissions and sticky; never set-uid/set-gid
constexpr std::size_t kCopyChunk = std::size_t{1} << 30;
constexpr std::size_t kFallbackBuffer = std::size_t{1} << 20;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using TDirPtr = std::unique_ptr<DIR, DirCloser>;

TUniqueFd OpenDirAt(int parent, const char* name, bool followLink) {
    return TUniqueFd(
        ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
}

// Moves the bytes: in the kernel where it can copy between these two files,
// else through a buffer.
int CopyBytes(int in, int out) {
    bool anyCopied = false;
    for (;;) {
        const ssize_t n = Fs().CopyFileRange(in, out, kCopyChunk);
        if (n > 0) {
            anyCopied = true;
            continue;
        }
        if (n == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (anyCopied || (errno != EXDEV && errno != ENOSYS && errno != EINVAL &&
                          errno != EOPNOTSUPP && errno != EBADF)) {
            return errno;
        }
        break;
    }
    std::vector<char> buffer(kFallbackBuffer);
    for (;;) {
        const ssize_t n = Fs().Read(in, buffer.data(), buffer.size());
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (const int err = WriteAll(out, buffer.data(), static_cast<std::size_t>(n)); err != 0) {
            return err;
        }
    }
}

bool CopyLinkAt(int srcParent, const char* srcName, const struct stat& st, int dstParent,
                const char* dstName) {
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlinkat(srcParent, srcName, target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
        return false;
    }
    target.resize(static_cast<std::size_t>(n));
    struct stat existing {};
    if (::fstatat(dstParent, dstName, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode) || Fs().UnlinkAt(dstParent, dstName, 0) != 0) {
            return false;
        }
    }
    if (Fs().SymlinkAt(target.c_str(), dstParent, dstName) != 0) {
        return false;
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(dstParent, dstName, times, AT_SYMLINK_NOFOLLOW);
    return true;
}

bool CopyDirAt(int srcParent, const char* srcName, const struct stat& st, int dstParent,
               const char* dstName) {
    const TUniqueFd src = OpenDirAt(srcParent, srcName, false);
    if (!src.Valid()) {
        return false;
    }
    const bool created = Fs().MkdirAt(dstParent, dstName, 0700) == 0;
    if (!created && errno != EEXIST) {
        return false;
    }
    // An existing link to a directory at the destination is merged into, as
    // the product's own layout may use such links.
    const TUniqueFd dst = OpenDirAt(dstParent, dstName, true);
    if (!dst.Valid()) {
        return false;
    }
    // An existing folder belongs to the product: it keeps its own mode and
    // times, and is made writable only for the time of the copy.
    mode_t restoreMode = 0;
    struct stat dstStat {};
    if (!created && ::fstat(dst.Get(), &dstStat) == 0 && (dstStat.st_mode & 0300) != 0300 &&
        Fs().Fchmod(dst.Get(), (dstStat.st_mode & 07777) | 0300) == 0) {
        restoreMode = dstStat.st_mode & 07777;
    }
    std::vector<std::string> names;
    bool ok = ListNames(src.Get(), names);
    for (const std::string& name : names) {
        ok = CopyEntryAt(src.Get(), name.c_str(), dst.Get(), name.c_str()) && ok;
    }
    if (!created) {
        return (restoreMode == 0 || Fs().Fchmod(dst.Get(), restoreMode) == 0) && ok;
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ok = Fs().Fchmod(dst.Get(), st.st_mode & kKeptModeBits) == 0 && ok;
    ok = Fs().Futimens(dst.Get(), times) == 0 && ok;
    return ok;
}

}  // namespace

bool ListNames(int dirFd, std::vector<std::string>& names,
               const std::function<bool(const char*)>& accept) {
    const int dup = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) {
        return false;
    }
    TDirPtr dir(::fdopendir(dup));
    if (!dir) {
        ::close(dup);
        return false;
    }
    // The duplicate shares the descriptor's position with every earlier
    // listing of it.
    ::rewinddir(dir.get());
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && (!accept || accept(entry->d_name))) {
            names.emplace_back(name);
        }
        errno = 0;
    }
    return errno == 0;
}

int CopyFileAt(int srcFd, int dstParent, const char* dstName, mode_t mode, bool replaceExisting) {
    struct stat st {};
    if (::fstat(srcFd, &st) != 0) {
        return errno;
    }
    struct stat existing {};
    if (!replaceExisting && ::fstatat(dstParent, dstName, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        return EEXIST;  // spares the copy; Commit checks again
    }
    TStagedFile out;
    if (const int err = out.Create(dstParent); err != 0) {
        return err;
    }
    if (const int err = CopyBytes(srcFd, out.Fd()); err != 0) {
        return err;
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (Fs().Fchmod(out.Fd(), mode & kKeptModeBits) != 0 || Fs().Futimens(out.Fd(), times) != 0) {
        return errno;
    }
    // Most copies land where nothing is yet; only an entry in the way needs
    // a look before it is replaced.
    const int err = out.Commit(dstName, false);
    if (err != EEXIST || !replaceExisting) {
        return err;
    }
    if (::fstatat(dstParent, dstName, &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) {
        // The source under another spelling or another link: a copy onto it
        // is the caller's mistake, not an update.
        return EINVAL;
    }
    return out.Commit(dstName, true);
}

bool CopyEntryAt(int srcParent, const char* srcName, int dstParent, const char* dstName) {
    struct stat st {};
    if (::fstatat(srcParent, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        return CopyDirAt(srcParent, srcName, st, dstParent, dstName);
    }
    if (S_ISLNK(st.st_mode)) {
        return CopyLinkAt(srcParent, srcName, st, dstParent, dstName);
    }
    if (!S_ISREG(st.st_mode)) {
        return false;
    }
    const TUniqueFd in(Fs().OpenAt(srcParent, srcName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    return in.Valid() && CopyFileAt(in.Get(), dstParent, dstName, st.st_mode, true) == 0;
}

bool MoveEntryAt(int srcParent, const char* srcName, int dstParent, const char* dstName) {
    if (Fs().RenameAt(srcParent, srcName, dstParent, dstName, 0) == 0) {
        return true;
    }
    const int err = errno;
    if (err == EXDEV) {
        return CopyEntryAt(srcParent, srcName, dstParent, dstName) &&
               DeleteEntryAt(srcParent, srcName);
    }
    if (err != EEXIST && err != ENOTEMPTY) {
        return false;
    }
    // A directory onto a non-empty directory: merge.
    const TUniqueFd src = OpenDirAt(srcParent, srcName, false);
    const TUniqueFd dst = OpenDirAt(dstParent, dstName, true);
    if (!src.Valid() || !dst.Valid()) {
        return false;
    }
    std::vector<std::string> names;
    bool ok = ListNames(src.Get(), names);
    for (const std::string& name : names) {
        ok = MoveEntryAt(src.Get(), name.c_str(), dst.Get(), name.c_str()) && ok;
    }
    return ok && Fs().UnlinkAt(srcParent, srcName, AT_REMOVEDIR) == 0;
}

bool DeleteEntryAt(int parent, const char* name) {
    if (Fs().UnlinkAt(parent, name, 0) == 0) {
        return true;
    }
    if (errno != EISDIR) {
        return false;
    }
    // A directory we may not read, write or search is made accessible
    // first; it must be reached without reading it, and without a link.
    const TUniqueFd handle(::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!handle.Valid() || ::fstat(handle.Get(), &st) != 0) {
        return false;
    }
    const std::string reached = "/proc/self/fd/" + std::to_string(handle.Get());
    if ((st.st_mode & 0700) != 0700) {
        ::chmod(reached.c_str(), (st.st_mode & 07777) | 0700);
    }
    const TUniqueFd dir(::open(reached.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) {
        return false;
    }
    std::vector<std::string> names;
    bool ok = ListNames(dir.Get(), names);
    for (const std::string& child : names) {
        ok = DeleteEntryAt(dir.Get(), child.c_str()) && ok;
    }
    return ok && Fs().UnlinkAt(parent, name, AT_REMOVEDIR) == 0;
}

TPathSplit SplitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace km
