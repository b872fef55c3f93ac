#pragma once

// Keeps two updaters from installing into one product at the same time.
//
// The lock is an advisory lock (flock) on "~qbupdate.lock" in the product's
// configuration folder, held for a whole update run. The operating system
// releases it when the process ends, however it ends. The file is open to
// every user of the product, so anyone who can read it can also hold the
// lock: the wait for it is therefore bounded. The file is opened without
// following a link and without blocking; anything but a regular file at its
// name (a link, a FIFO, a folder) is set aside and a fresh file made.

#include <chrono>
#include <functional>
#include <string>

#include "common/files/Dir.h"
#include "common/files/UniqueFd.h"

namespace qb {

class IClock;

class TUpdateLock {
  public:
    enum class TState {
        Held,      // this run may go on
        Stopped,   // shouldStop ended the wait
        TimedOut,  // another holder kept the lock for all of maxWait
    };

    // Waits for the lock in the held configuration folder configDir,
    // polling shouldStop every 100 ms, for at most maxWait by clock. onWait
    // (may be empty) is called once when the lock is found held, with a
    // description of its holder ("" when unknown). Without a configuration
    // folder, with a lock file this user cannot open, or with a lock that
    // cannot be taken at all (an flock error, written to the debug log)
    // there is nothing to lock and the lock counts as held.
    TUpdateLock(const km::TDir& configDir, const std::function<bool()>& shouldStop,
                std::chrono::milliseconds maxWait, IClock& clock,
                const std::function<void(const std::string&)>& onWait = {});
    TUpdateLock(const TUpdateLock&) = delete;
    TUpdateLock& operator=(const TUpdateLock&) = delete;

    TState State() const { return fState; }
    bool Held() const { return fState == TState::Held; }
    // Who held the lock while this run waited ("" when it never waited or
    // the holder is unknown).
    const std::string& Holder() const { return fHolder; }

  private:
    km::TUniqueFd fFd;
    TState fState = TState::Stopped;
    std::string fHolder;
};

// A description of the process that holds an flock on the file open as fd
// ("pid 1234 (qbupdate)"), "" when none is found.
std::string LockHolder(int fd);

}  // namespace qb
