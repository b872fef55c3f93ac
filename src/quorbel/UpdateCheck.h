#pragma once

// What an update run would install, without running one: the descriptor is
// fetched (and, in a signed build, verified) and compared with the recorded
// dates. Nothing is downloaded but the descriptor, nothing is changed.

#include <functional>
#include <string>
#include <vector>

#include "quorbel/Problem.h"
#include "quorbel/UpdateRun.h"

namespace qb {

struct TTypeOffer {
    std::string Type;
    std::string Recorded;  // the recorded date, "" when none
    std::string Offered;   // the descriptor's date, "" when it offers none
    bool Waiting = false;  // a run would download and install it
};

struct TUpdateCheck {
    // False: no descriptor (server, network, or refused by the signature
    // check); Problem says why.
    bool HaveDescriptor = false;
    bool Stopped = false;
    TProblem Problem;
    std::vector<TTypeOffer> Types;
};

// The types the run of request would handle, with what waits for each.
// shouldStop (may be empty) is asked while the descriptor downloads and ends
// the check (HaveDescriptor false, Stopped) when it answers true. Throws
// km::Exception when the private temporary folder cannot be used.
TUpdateCheck CheckForUpdates(const TRunRequest& request, const TWorld& world,
                             const std::function<bool()>& shouldStop = {});

}  // namespace qb
