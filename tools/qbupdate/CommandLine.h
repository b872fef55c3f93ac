#pragma once

// The options of qbupdate.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qbupdate {

struct TOptions {
    bool Check = false;
    bool Json = false;
    bool FollowUp = true;
    bool Help = false;
    bool Version = false;
    bool Status = false;
    // --export DIR: write offline media; --from DIR: update from them.
    std::string ExportDir;
    std::string MediaDir;
    std::chrono::seconds Timeout = std::chrono::hours(4);
};

// The exit codes, as --help and README list them.
enum TExitCode : int {
    kExitOk = 0,            // the run succeeded, or everything was current
    kExitFailed = 1,        // any other failure
    kExitUsage = 2,         // a wrong option
    kExitNoDescriptor = 3,  // no descriptor: server, network or its signature
    kExitLocked = 4,        // another update of this product held it too long
    kExitStopped = 5,       // stopped by SIGINT, SIGTERM or the time limit
    kExitNotSetUp = 6,      // the product is not set up (no installation or data folder)
    kExitUpdatesWait = 10,  // --check: a run would install something
};

extern const char* const kUsage;

// The options of args (without the program's name); nothing, with error
// set, for a wrong one.
std::optional<TOptions> ParseCommandLine(const std::vector<std::string>& args, std::string& error);

}  // namespace qbupdate
