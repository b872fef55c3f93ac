#include "quorbel/UpdateLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/files/FileOps.h"

namespace qb {

TUpdateLock::TUpdateLock(const std::string& configDir, const std::function<bool()>& shouldStop) {
    if (configDir.empty() || !km::DirectoryExists(configDir)) {
        fHeld = true;
        return;
    }
    const std::string file = configDir + "~qbupdate.lock";
    // Read access is enough for the lock; the file is created for every user
    // of the product (the umask has the last word). A lock file this user
    // cannot open must not stop the update: the run goes on without it.
    fFd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fFd < 0) {
        fHeld = true;
        return;
    }
    for (;;) {
        if (::flock(fFd, LOCK_EX | LOCK_NB) == 0) {
            fHeld = true;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return;
        }
        if (shouldStop && shouldStop()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

TUpdateLock::~TUpdateLock() {
    if (fFd >= 0) {
        ::close(fFd);  // releases the lock
    }
}

}  // namespace qb
