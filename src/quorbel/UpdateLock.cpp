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

TUpdateLock::TUpdateLock(const km::TDir& configDir, const std::function<bool()>& shouldStop,
                         std::chrono::milliseconds maxWait, IClock& clock,
                         const std::function<void(const std::string&)>& onWait) {
    if (!configDir.Valid()) {
        fState = TState::Held;
        return;
    }
    // Read access is enough for the lock; the file is created for every user
    // of the product (the umask has the last word). A lock file this user
    // cannot open must not stop the update: the run goes on without it.
    fFd = OpenLockFile(configDir);
    if (!fFd.Valid()) {
        fState = TState::Held;
        return;
    }
    const auto deadline = clock.Steady() + maxWait;
    bool waiting = false;
    for (;;) {
        if (::flock(fFd.Get(), LOCK_EX | LOCK_NB) == 0) {
            fState = TState::Held;
            return;
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
