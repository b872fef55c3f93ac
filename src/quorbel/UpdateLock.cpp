#include "quorbel/UpdateLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/FileOps.h"

namespace qb {

TUpdateLock::TUpdateLock(const std::string& configDir, const std::function<bool()>& shouldStop) {
    if (configDir.empty() || !km::DirectoryExists(configDir)) {
        fHeld = true;
        return;
    }
    const std::string file = configDir + "~qbupdate.lock";
    fFd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fFd < 0) {
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
