#pragma once

// Keeps two updaters from installing into one product at the same time.
//
// The lock is an advisory lock (flock) on "~qbupdate.lock" in the product's
// configuration folder, held for a whole update run. The operating system
// releases it when the process ends, however it ends.

#include <functional>
#include <string>

namespace qb {

class TUpdateLock {
  public:
    // Waits for the lock on the product whose configuration folder is
    // configDir, polling shouldStop every 100 ms. Without a configuration
    // folder, or with a lock file this user cannot open, there is nothing to
    // lock and the lock counts as held.
    TUpdateLock(const std::string& configDir, const std::function<bool()>& shouldStop);
    ~TUpdateLock();
    TUpdateLock(const TUpdateLock&) = delete;
    TUpdateLock& operator=(const TUpdateLock&) = delete;

    // False when shouldStop ended the wait.
    bool Held() const { return fHeld; }

  private:
    int fFd = -1;
    bool fHeld = false;
};

}  // namespace qb
