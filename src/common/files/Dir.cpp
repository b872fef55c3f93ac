#include "common/files/Dir.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/files/FileSystem.h"

namespace km {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Whether the kernel knows openat2; learnt at the first call.
std::atomic<bool> gNoOpenat2{false};

std::string TrimSlashes(const std::string& path) {
    size_t start = 0;
    while (start < path.size() && path[start] == '/') {
        ++start;
    }
    size_t end = path.size();
    while (end > start && path[end - 1] == '/') {
        --end;
    }
    return path.substr(start, end - start);
}

// Opens the folder rel below dir one component at a time, never through a
// link and never upwards.
int WalkBeneath(int dir, const std::string& rel) {
    TUniqueFd current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    size_t start = 0;
    while (current.Valid() && start < rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) {
            end = rel.size();
        }
        const std::string part = rel.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
        current.Reset(::openat(current.Get(), part.c_str(), kDirFlags | O_NOFOLLOW));
    }
    return current.Release();
}

int OpenDirBeneath(int dir, const std::string& rel) {
    if (rel.empty()) {
        return ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    }
    if (!gNoOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = kDirFlags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, dir, rel.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) {
            return static_cast<int>(fd);
        }
        gNoOpenat2.store(true, std::memory_order_relaxed);
    }
    return WalkBeneath(dir, rel);
}

}  // namespace

TDir::TDir(TUniqueFd fd, std::string path) : fFd(std::move(fd)), fPath(std::move(path)) {
    if (!fPath.empty() && fPath.back() != '/') {
        fPath += '/';
    }
}

TDir TDir::Open(const std::string& path, bool noFollow) {
    TUniqueFd fd(::open(path.c_str(), kDirFlags | (noFollow ? O_NOFOLLOW : 0)));
    if (!fd.Valid()) {
        return {};
    }
    return {std::move(fd), path};
}

TDir TDir::Sub(const std::string& relPath) const {
    const std::string rel = TrimSlashes(relPath);
    TUniqueFd fd(OpenDirBeneath(Fd(), rel));
    if (!fd.Valid()) {
        return {};
    }
    return {std::move(fd), PathOf(rel)};
}

int TDir::OpenBeneath(const std::string& relPath, int flags, mode_t mode) const {
    const std::string rel = TrimSlashes(relPath);
    const size_t slash = rel.rfind('/');
    const std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") {
        errno = EINVAL;
        return -1;
    }
    if (slash == std::string::npos) {
        return Fs().OpenAt(Fd(), leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    }
    const TUniqueFd parent(OpenDirBeneath(Fd(), rel.substr(0, slash)));
    if (!parent.Valid()) {
        return -1;
    }
    return Fs().OpenAt(parent.Get(), leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int TDir::StatAt(const std::string& name, struct stat& st) const {
    return ::fstatat(Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int TDir::Stat(struct stat& st) const {
    return ::fstat(Fd(), &st) == 0 ? 0 : errno;
}

TDir TDir::Dup() const {
    TUniqueFd fd(::fcntl(Fd(), F_DUPFD_CLOEXEC, 0));
    if (!fd.Valid()) {
        return {};
    }
    return {std::move(fd), fPath};
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace km
