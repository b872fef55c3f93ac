#pragma once

// Runs the real qbupdate program as a child, with a deadline.

#include <chrono>
#include <string>
#include <vector>

namespace qbtest {

struct TExit {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs qbupdate with args in this process's environment; a run that outlives
// the deadline is killed and fails the test. signalAfter > 0: SIGTERM that
// long after the start.
TExit RunQbUpdate(const std::vector<std::string>& args,
                  std::chrono::milliseconds signalAfter = std::chrono::milliseconds(0));

}  // namespace qbtest
