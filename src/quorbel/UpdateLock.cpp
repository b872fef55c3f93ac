#include "quorbel/UpdateLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/files/FileOps.h"

namespace qb {

TUpdateLock::TUpdateLock(const std::string& configDir, const std::function<bool()>& shouldStop,
                         std::chrono::milliseconds maxWait) {
    if (configDir.empty() || !km::DirectoryExists(configDir)) {
        fState = TState::Held;
        return;
    }
    const std::string file = configDir + "~qbupdate.lock";
    // Read access is enough for the lock; the file is created for every user
    // of the product (the umask has the last word). A lock file this user
    // cannot open must not stop the update: the run goes on without it.
    fFd.Reset(::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fFd.Valid()) {
        fState = TState::Held;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + maxWait;
    for (;;) {
        if (::flock(fFd.Get(), LOCK_EX | LOCK_NB) == 0) {
            fState = TState::Held;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            km::DebugWarning("cannot lock " + file + ": " + km::SysErrorMessage(errno) +
                                 "; the update goes on without the lock",
                             "TUpdateLock");
            fState = TState::Held;
            return;
        }
        if (shouldStop && shouldStop()) {
            fState = TState::Stopped;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fState = TState::TimedOut;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace qb
