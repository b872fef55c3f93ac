#pragma once

// One whole update run without a window: the update worker in a thread
// manager of its own, with the calling thread serving the main thread's
// queue until the worker has ended. The window program waits for its worker
// in its event loop instead; everything else that runs the engine (the
// command-line updater, the drills, the benchmarks, the tests) uses this.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "quorbel/ConfigUpdaterThread.h"
#include "quorbel/Product.h"

namespace qb {

struct TUpdateRunSettings {
    // Installer mode (all four types, the installer project) or not (dev and
    // partner of the default project).
    bool InstallerMode = true;
    // The project of installer mode (without it the default project).
    std::string Project = kInstallerProject;
    TUpdaterSettings Worker;
};

// What the ended worker reports.
struct TUpdateRunResult {
    int Code = 0;
    std::string Text;
    // The descriptor's "torun" value, and the follow-up program's path
    // (GetToRun()) and parameters.
    std::string ToRun;
    std::string ToRunPath;
    std::string RunParams;
    // Each type handled, in order.
    std::vector<TTypeOutcome> Outcomes;
};

// Runs one update on the main thread's behalf; call it on the main thread.
// onPoll, when given, is called with the worker once it has started and then
// about every pollInterval while it runs; it may ask the worker to stop
// (Terminate). Returns once the worker has ended. Raises what constructing
// the worker raises.
TUpdateRunResult RunUpdateToEnd(
    const TUpdateRunSettings& settings,
    const std::function<void(TConfigUpdaterThread&)>& onPoll = {},
    std::chrono::milliseconds pollInterval = std::chrono::milliseconds(10));

}  // namespace qb
