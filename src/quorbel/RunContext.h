#pragma once

// What every step of one update run shares, passed to each step by
// reference: the request, the world, the stop request, the held folders and
// the run's own working folder. The steps hand their results back as
// values; nothing travels through this object but what the whole run owns.

#include <functional>
#include <string>
#include <vector>

#include "common/files/WorkDir.h"
#include "quorbel/PackageCache.h"
#include "quorbel/ProductFolders.h"
#include "quorbel/RunRequest.h"
#include "quorbel/UpdateReport.h"
#include "quorbel/UpdateWorld.h"

namespace qb {

struct TRunContext {
    const TRunRequest& Request;
    const TWorld& World;
    const std::function<bool()>& ShouldStop;
    TRunObserver* Observer;
    // The project and its folder on the configuration server.
    std::string Project;
    std::string ServerPath;
    // The vendor's public keys (raw); empty for unsigned updates.
    std::vector<std::string> Keys;
    TProductFolders& Folders;
    // Every download lands here first ("~qb" in the private temporary folder).
    km::TWorkDir& DownloadDir;
    // The follow-up program as the types reach it.
    TFollowUp& FollowUp;
    // The practice's package cache; nullptr for none.
    TPackageCache* Cache = nullptr;

    bool Signed() const { return !Keys.empty(); }
    bool StopRequested() const { return ShouldStop && ShouldStop(); }
    void Received(int64_t bytes) const {
        if (Observer != nullptr) {
            Observer->Received(bytes);
        }
    }
    // The options every download of the run is made with.
    TFetchOptions FetchOptions(int64_t maxBytes) const {
        TFetchOptions options;
        options.MaxBytes = maxBytes;
        options.StallTimeout = Request.Settings.StallTimeout;
        options.FirstRetryWait = Request.Settings.FirstRetryWait;
        options.UserAgent = Request.Settings.UserAgent;
        return options;
    }
};

// The context of a run of request in world: the project, its folder on the
// configuration server and the vendor's keys as the request gives them.
TRunContext MakeRunContext(const TRunRequest& request, const TWorld& world,
                           const std::function<bool()>& stop, TRunObserver* observer,
                           TProductFolders& folders, km::TWorkDir& downloadDir,
                           TFollowUp& followUp);

// shouldStop (may be empty), or the request's time limit, counted from now,
// reached.
std::function<bool()> StopOrTimeLimit(const TRunRequest& request, const TWorld& world,
                                      const std::function<bool()>& shouldStop);

// Sets a type's failure: its code, outcome and problem.
inline void SetFailure(TTypeReport& report, int32_t code, TProblem problem,
                       TOutcome outcome = TOutcome::Failed) {
    report.Code = code;
    report.Outcome = outcome;
    report.Problem = std::move(problem);
}

}  // namespace qb
