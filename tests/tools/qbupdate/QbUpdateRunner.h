#pragma once

// Runs the real qbupdate program as a child, with a deadline.

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
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

// Runs qbupdate on a workstation: its own installation folder ("install",
// first holding app.bin "v1"), machine hive and temporary folder below root,
// and the data folder data (its configuration folder first holding
// dev/d.txt "old"); the machine hive gets InstallDir, DatabaseDir and
// values when the workstation is made, on first use.
TExit RunOnWorkstation(const std::filesystem::path& root, const std::filesystem::path& data,
                       const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& values = {});

}  // namespace qbtest
