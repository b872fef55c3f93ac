#include "quorbel/UpdateLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "quorbel/UpdateWorld.h"

namespace qb {
namespace {

constexpr const char* kLockName = "~qbupdate.lock";

// The lock file, opened without following a link and without waiting for a
// writer (a FIFO would block the open for ever); anything but a regular
// file is set aside and a fresh one made.
km::TUniqueFd OpenLockFile(const km::TDir& configDir) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (int attempt = 0; attempt < 3; ++attempt) {
        km::TUniqueFd fd(km::Fs().OpenAt(configDir.Fd(), kLockName, kFlags | O_CREAT, 0666));
        struct stat st {};
        if (fd.Valid() && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode)) {
            return fd;
        }
        if (!fd.Valid() && errno != ELOOP && errno != ENXIO && errno != EISDIR) {
            return {};  // this user may not open it: no lock
        }
        const std::string aside = std::string(kLockName) + ".~qbrefused";
        km::DebugWarning(
            configDir.PathOf(kLockName) + " set aside as " + aside + ": it is not a regular file",
            "TUpdateLock");
        km::DeleteEntryAt(configDir.Fd(), aside.c_str());
        if (km::Fs().RenameAt(configDir.Fd(), kLockName, configDir.Fd(), aside.c_str(), 0) != 0) {
            return {};
        }
    }
    return {};
}

std::string ProcessName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

std::string LockHolder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return {};
    }
    // Lines like "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF".
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, advisory, mode, pid, file;
        fields >> number >> kind;
        if (kind == "->") {
            continue;  // a waiter, not a holder
        }
        fields >> advisory >> mode >> pid >> file;
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (kind != "FLOCK" ||
            std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) {
            continue;
        }
        if (makedev(major, minor) == st.st_dev && inode == st.st_ino) {
            const std::string name = ProcessName(pid);
            return "pid " + pid + (name.empty() ? "" : " (" + name + ")");
        }
    }
    return {};
}

namespace {

// Whether the lock open as fd is still the file at its name: a lock file set
// aside while this run waited on it locks nothing any more.
bool StillNamed(const km::TDir& configDir, int fd) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && configDir.StatAt(kLockName, named) == 0 &&
           km::SameFile(held, named);
}

// Whether the process described by pid runs one of the updaters: this
// process, the same program as this one, or the window or qbupdate.
bool IsUpdater(const std::string& pid) {
    if (pid == std::to_string(::getpid())) {
        return true;
    }
    struct stat mine {};
    struct stat theirs {};
    if (::stat("/proc/self/exe", &mine) == 0 &&
        ::stat(("/proc/" + pid + "/exe").c_str(), &theirs) == 0 && km::SameFile(mine, theirs)) {
        return true;
    }
    const std::string name = ProcessName(pid);
    return name == "QbOnlineUpdater" || name == "qbupdate";
}

std::string HolderPid(const std::string& holder) {
    const size_t space = holder.find(' ');
    if (!holder.starts_with("pid ") || space == std::string::npos) {
        return {};
    }
    const size_t end = holder.find(' ', space + 1);
    return holder.substr(space + 1, end == std::string::npos ? end : end - space - 1);
}

}  // namespace

TUpdateLock::TUpdateLock(const km::TDir& configDir, const std::function<bool()>& shouldStop,
                         std::chrono::milliseconds maxWait, IClock& clock,
                         const std::function<void(const std::string&)>& onWait) {
    if (!configDir.Valid()) {
        fState = TState::Held;
        return;
    }
    const auto deadline = clock.Steady() + maxWait;
    bool waiting = false;
    bool tookOver = false;
    for (;;) {
        // Read access is enough for the lock; the file is created for every
        // user of the product (the umask has the last word). A lock file this
        // user cannot open must not stop the update: the run goes on without.
        if (!fFd.Valid()) {
            fFd = OpenLockFile(configDir);
            if (!fFd.Valid()) {
                fState = TState::Held;
                return;
            }
        }
        if (::flock(fFd.Get(), LOCK_EX | LOCK_NB) == 0) {
            if (StillNamed(configDir, fFd.Get())) {
                fState = TState::Held;
                return;
            }
            fFd.Reset();  // set aside meanwhile: lock the file at the name
            continue;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            km::DebugWarning("cannot lock " + configDir.PathOf(kLockName) + ": " +
                                 km::SysErrorMessage(errno) +
                                 "; the update goes on without the lock",
                             "TUpdateLock");
            fState = TState::Held;
            return;
        }
        if (!waiting) {
            waiting = true;
            fHolder = LockHolder(fFd.Get());
            if (onWait) {
                onWait(fHolder);
            }
        }
        if (shouldStop && shouldStop()) {
            fState = TState::Stopped;
            return;
        }
        if (clock.Steady() >= deadline) {
            fHolder = LockHolder(fFd.Get());
            const std::string pid = HolderPid(fHolder);
            // A process that is no updater has no business with the lock:
            // after the whole wait its file is set aside, and the run takes
            // a fresh one. Updaters that wait on the old file find it gone
            // when they get it, and wait on the new one: none interleave.
            if (!tookOver && !pid.empty() && !IsUpdater(pid)) {
                tookOver = true;
                km::DebugWarning("the update lock " + configDir.PathOf(kLockName) +
                                     " was held by " + fHolder +
                                     ", which is no updater, for all of the wait; it is set aside",
                                 "TUpdateLock");
                const std::string aside = std::string(kLockName) + ".~qbrefused";
                km::DeleteEntryAt(configDir.Fd(), aside.c_str());
                km::Fs().RenameAt(configDir.Fd(), kLockName, configDir.Fd(), aside.c_str(), 0);
                fFd.Reset();
                continue;
            }
            km::DebugWarning("the update lock " + configDir.PathOf(kLockName) + " was held by " +
                                 (fHolder.empty() ? std::string("an unknown process") : fHolder) +
                                 " for all of the wait",
                             "TUpdateLock");
            fState = TState::TimedOut;
            return;
        }
        clock.SleepFor(std::chrono::milliseconds(100));
    }
}

}  // namespace qb
