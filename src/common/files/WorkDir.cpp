#include "common/files/WorkDir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <string_view>
#include <utility>
#include <vector>

#include "common/base/KmException.h"
#include "common/files/DirTree.h"
#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"

namespace km {
namespace {

TUniqueFd OpenFolder(const std::string& path) {
    return TUniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool SameEntry(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The lock on the folder just made, or an invalid descriptor when clean-up
// took the folder between its making and the lock.
TUniqueFd LockNewFolder(const std::string& path) {
    TUniqueFd fd = OpenFolder(path);
    struct stat held {};
    struct stat named {};
    if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.Get(), &held) != 0 ||
        ::lstat(path.c_str(), &named) != 0 || !SameEntry(held, named)) {
        return {};
    }
    return fd;
}

}  // namespace

TWorkDir::TWorkDir(const std::string& prefix, const std::string& baseDir) {
    for (int attempt = 0; attempt < kTempWorkDirTries; ++attempt) {
        std::string path = CreateTempWorkDir(prefix, baseDir);
        TUniqueFd lock = LockNewFolder(path);
        if (lock.Valid()) {
            fPath = std::move(path);
            fLock = std::move(lock);
            return;
        }
    }
    throw Exception("No working folder could be held below " +
                    (baseDir.empty() ? GetPrivateTempDir() : baseDir));
}

TWorkDir::~TWorkDir() {
    Remove();
}

TWorkDir::TWorkDir(TWorkDir&& other) noexcept
    : fPath(std::exchange(other.fPath, {})), fLock(std::move(other.fLock)) {}

TWorkDir& TWorkDir::operator=(TWorkDir&& other) noexcept {
    if (this != &other) {
        Remove();
        fPath = std::exchange(other.fPath, {});
        fLock = std::move(other.fLock);
    }
    return *this;
}

void TWorkDir::Remove() {
    if (!fPath.empty()) {
        DeleteDirectoryTree(fPath);  // while still held
        fPath.clear();
    }
    fLock.Reset();
}

void RemoveStaleWorkDirs(const std::string& dir, const std::string& prefix,
                         std::chrono::seconds minAge) {
    const TUniqueFd folder = OpenFolder(dir);
    if (!folder.Valid()) {
        return;
    }
    std::vector<std::string> names;
    ListNames(folder.Get(), names, [&prefix](const char* name) {
        const std::string_view view(name);
        return view.size() == prefix.size() + 5 && view.substr(0, prefix.size()) == prefix &&
               view.substr(prefix.size()).find_first_not_of("012345678") == std::string_view::npos;
    });
    const auto now = std::chrono::system_clock::now();
    for (const std::string& name : names) {
        const std::string path = AddPathDelimiter(dir) + name;
        const TUniqueFd held = OpenFolder(path);
        struct stat st {};
        if (!held.Valid() || ::flock(held.Get(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstat(held.Get(), &st) != 0) {
            continue;  // not a real folder, or a live run holds it
        }
        const auto modified = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
        if (now - modified >= minAge) {
            DeleteDirectoryTree(path);
        }
    }
}

}  // namespace km
