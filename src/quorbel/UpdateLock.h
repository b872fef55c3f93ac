#pragma once

// Keeps two updaters from installing into one product at the same time.
//
// The lock is an advisory lock (flock) on "~qbupdate.lock" in the product's
// configuration folder, held for a whole update run. The operating system
// releases it when the process ends, however it ends. The file is open to
// every user of the product, so anyone who can read it can also hold the
// lock: the wait for it is therefore bounded.

#include <chrono>
#include <functional>
#include <string>

#include "common/files/UniqueFd.h"

namespace qb {

class TUpdateLock {
  public:
    enum class TState {
        Held,      // this run may go on
        Stopped,   // shouldStop ended the wait
        TimedOut,  // another holder kept the lock for all of maxWait
    };

    // Waits for the lock on the product whose configuration folder is
    // configDir, polling shouldStop every 100 ms, for at most maxWait.
    // Without a configuration folder, with a lock file this user cannot open,
    // or with a lock that cannot be taken at all (an flock error, written to
    // the debug log) there is nothing to lock and the lock counts as held.
    TUpdateLock(const std::string& configDir, const std::function<bool()>& shouldStop,
                std::chrono::milliseconds maxWait);
    TUpdateLock(const TUpdateLock&) = delete;
    TUpdateLock& operator=(const TUpdateLock&) = delete;

    TState State() const { return fState; }
    bool Held() const { return fState == TState::Held; }

  private:
    km::TUniqueFd fFd;
    TState fState = TState::Stopped;
};

}  // namespace qb
