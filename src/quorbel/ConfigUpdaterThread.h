#pragma once

// The update worker: the managed background thread that the window's thread
// manager runs. It performs one update run (UpdateRun.h) on its thread and
// ends; its ReturnValue is the run's combined result code
// (CombinedResultCode, codes in UpdateReport.h) and its CustomReturnValue the
// German text of the run's problem. Texts in the user's language come from
// Report() through ProblemText, on the thread that shows them.
//
// Create it on the main thread with km::CreateManagedThread; its thread starts
// as soon as construction has completed. Its results may be read only after
// the thread manager has moved it to its ended threads.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/thread/ThreadManager.h"
#include "quorbel/UpdateReport.h"
#include "quorbel/UpdateRun.h"
#include "quorbel/UpdaterSettings.h"

namespace qb {

// Where a run stands, for a progress display.
struct TRunProgress {
    std::string Type;      // the type being handled, "" before the first
    int64_t Received = 0;  // bytes of its current download so far
};

class TConfigUpdaterThread : public km::TManagedThread {
  public:
    // Raises km::EInternalError "Project name must be specified for
    // OnlineUpdater" (installer mode without a project) or "For Quorbel the
    // project name must always be empty" (a project without installer mode).
    TConfigUpdaterThread(const std::string& threadId, km::TThreadManager* threadManager,
                         bool BOnlineUpdate, bool AIsOnlineInstallerMode,
                         const std::string& AProjectName, TUpdaterSettings settings = {});
    // Waits for the run to end; its working folders go with it.
    ~TConfigUpdaterThread() override;

    // The follow-up program: the last target folder followed by the
    // descriptor's "torun" value.
    std::string GetToRun() const;
    // The descriptor's "runparams" value of the last type that reached the
    // download step.
    const std::string& RunParams() const { return fReport.FollowUp.RunParams; }
    // The descriptor's "torun" value alone.
    const std::string& ToRun() const { return fReport.FollowUp.ToRun; }
    // The run's report; after the worker has ended.
    const TRunReport& Report() const { return fReport; }
    // The types handled so far and where the run stands; any thread.
    std::vector<TTypeReport> Outcomes() const;
    TRunProgress Progress() const;

    std::string GetProjectName() const;
    std::string GetConfigServerPath() const;
    std::string GetConfigInfoFileName() const;
    std::string GetLastConfigUpdateRegKey(const std::string& AConfigType) const;

  protected:
    void Execute() override;

  private:
    class TProgressObserver;

    TRunRequest Request() const;

    bool FBOnlineUpdate;
    bool FIsOnlineInstallerMode;
    std::string FProjectName;
    TUpdaterSettings fSettings;
    TRunReport fReport;
    mutable std::mutex fProgressMutex;
    std::vector<TTypeReport> fOutcomes;
    TRunProgress fProgress;
};

}  // namespace qb
