#include "common/files/WorkDir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/KmException.h"
#include "common/base/SysError.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"

namespace km {
namespace {

// The folder just made as name in parent, held and locked; invalid when
// what stands at the name by now is not the folder this user just made.
TDir HoldNewFolder(const TDir& parent, const std::string& name) {
    TDir dir = parent.Sub(name);
    struct stat st {};
    if (!dir.Valid() || dir.Stat(st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0 ||
        ::flock(dir.Fd(), LOCK_EX | LOCK_NB) != 0) {
        return {};
    }
    return dir;
}

bool IsWorkDirName(std::string_view name, const std::string& prefix) {
    return name.size() == prefix.size() + 5 && name.substr(0, prefix.size()) == prefix &&
           name.substr(prefix.size()).find_first_not_of("012345678") == std::string_view::npos;
}

// Removes the folder dir (named name in parent) with its content: the
// content through dir's own handle, the name only while it still is dir.
void RemoveHeld(const TDir& parent, const std::string& name, const TDir& dir) {
    DeleteContent(dir);
    struct stat held {};
    struct stat named {};
    if (parent.Valid() && dir.Stat(held) == 0 && parent.StatAt(name, named) == 0 &&
        SameFile(held, named)) {
        Fs().UnlinkAt(parent.Fd(), name.c_str(), AT_REMOVEDIR);
    }
}

}  // namespace

TWorkDir::TWorkDir(const TDir& parent, const std::string& prefix) : fParent(parent.Dup()) {
    int lastError = EEXIST;
    for (int attempt = 0; attempt < kTempWorkDirTries; ++attempt) {
        std::string name = WorkDirName(prefix);
        if (Fs().MkdirAt(fParent.Fd(), name.c_str(), 0700) != 0) {
            lastError = errno;
            if (lastError != EEXIST) {
                break;
            }
            continue;
        }
        TDir dir = HoldNewFolder(fParent, name);
        if (dir.Valid()) {
            fDir = std::move(dir);
            fName = std::move(name);
            return;
        }
        lastError = errno != 0 ? errno : EEXIST;
    }
    throw Exception("Cannot create a working folder in " + parent.Path() + ": " +
                    SysErrorMessage(lastError));
}

namespace {

TDir OpenBaseDir(const std::string& baseDir) {
    if (baseDir.empty()) {
        return OpenPrivateTempDir();
    }
    TDir dir = TDir::Open(baseDir);
    if (!dir.Valid()) {
        throw Exception("Cannot create a working folder in " + AddPathDelimiter(baseDir) + ": " +
                        SysErrorMessage(errno));
    }
    return dir;
}

}  // namespace

TWorkDir::TWorkDir(const std::string& prefix, const std::string& baseDir)
    : TWorkDir(OpenBaseDir(baseDir), prefix) {}

TWorkDir::~TWorkDir() {
    Remove();
}

TWorkDir& TWorkDir::operator=(TWorkDir&& other) noexcept {
    if (this != &other) {
        Remove();
        fParent = std::move(other.fParent);
        fDir = std::move(other.fDir);
        fName = std::move(other.fName);
        fKeep = std::exchange(other.fKeep, false);
    }
    return *this;
}

void TWorkDir::Remove() {
    if (fDir.Valid() && !fKeep) {
        RemoveHeld(fParent, fName, fDir);  // while still held
    }
    fDir = TDir();
    fParent = TDir();
    fName.clear();
    fKeep = false;
}

bool DeleteContent(const TDir& dir) {
    std::vector<std::string> names;
    bool ok = ListNames(dir.Fd(), names);
    for (const std::string& name : names) {
        ok = DeleteEntryAt(dir.Fd(), name.c_str()) && ok;
    }
    return ok;
}

void RemoveStaleWorkDirs(const TDir& dir, const std::string& prefix, std::chrono::seconds minAge) {
    if (!dir.Valid()) {
        return;
    }
    std::vector<std::string> names;
    ListNames(dir.Fd(), names, [&prefix](const char* name) { return IsWorkDirName(name, prefix); });
    const auto now = std::chrono::system_clock::now();
    for (const std::string& name : names) {
        const TDir held = dir.Sub(name);
        struct stat st {};
        if (!held.Valid() || ::flock(held.Fd(), LOCK_EX | LOCK_NB) != 0 || held.Stat(st) != 0) {
            continue;  // not a real folder, or a live run holds it
        }
        const auto modified = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
        if (now - modified >= minAge) {
            RemoveHeld(dir, name, held);
        }
    }
}

void RemoveStaleWorkDirs(const std::string& dir, const std::string& prefix,
                         std::chrono::seconds minAge) {
    RemoveStaleWorkDirs(TDir::Open(dir, true), prefix, minAge);
}

}  // namespace km
