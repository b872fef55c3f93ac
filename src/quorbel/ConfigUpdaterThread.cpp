#include "quorbel/ConfigUpdaterThread.h"

#include "common/base/KmException.h"

namespace qb {

// Keeps what a progress display asks for while the run goes on.
class TConfigUpdaterThread::TProgressObserver : public TRunObserver {
  public:
    explicit TProgressObserver(TConfigUpdaterThread& worker) : fWorker(worker) {}

    void TypeStarted(const std::string& type) override {
        const std::lock_guard lock(fWorker.fProgressMutex);
        fWorker.fProgress = {type, 0};
    }
    void Received(int64_t bytes) override {
        const std::lock_guard lock(fWorker.fProgressMutex);
        fWorker.fProgress.Received = bytes;
    }
    void TypeEnded(const TTypeReport& report) override {
        const std::lock_guard lock(fWorker.fProgressMutex);
        fWorker.fOutcomes.push_back(report);
    }

  private:
    TConfigUpdaterThread& fWorker;
};

TConfigUpdaterThread::TConfigUpdaterThread(const std::string& threadId,
                                           km::TThreadManager* threadManager, bool BOnlineUpdate,
                                           bool AIsOnlineInstallerMode,
                                           const std::string& AProjectName,
                                           TUpdaterSettings settings)
    : km::TManagedThread(threadId, threadManager),
      FBOnlineUpdate(BOnlineUpdate),
      FIsOnlineInstallerMode(AIsOnlineInstallerMode),
      FProjectName(AProjectName),
      fSettings(std::move(settings)) {
    if (FIsOnlineInstallerMode && FProjectName.empty()) {
        throw km::EInternalError("Project name must be specified for OnlineUpdater");
    }
    if (!FIsOnlineInstallerMode && !FProjectName.empty()) {
        throw km::EInternalError("For Quorbel the project name must always be empty");
    }
}

TConfigUpdaterThread::~TConfigUpdaterThread() {
    // Execute uses this object's members: it must have ended before they go.
    if (!Finished()) {
        Terminate();
        WaitFor();
    }
}

TRunRequest TConfigUpdaterThread::Request() const {
    TRunRequest request;
    request.OnlineUpdate = FBOnlineUpdate;
    request.InstallerMode = FIsOnlineInstallerMode;
    request.Project = FProjectName;
    request.Settings = fSettings;
    return request;
}

void TConfigUpdaterThread::Execute() {
    TProgressObserver observer(*this);
    fReport = RunUpdate(
        Request(), RealWorld(), [this] { return Terminated(); }, &observer);
    SetReturnValue(CombinedResultCode(fReport));
    if (!fReport.Problem.Empty()) {
        SetCustomReturnValue(ProblemTextGerman(fReport.Problem));
    }
}

std::string TConfigUpdaterThread::GetToRun() const {
    return fReport.FollowUp.Path();
}

std::vector<TTypeReport> TConfigUpdaterThread::Outcomes() const {
    const std::lock_guard lock(fProgressMutex);
    return fOutcomes;
}

TRunProgress TConfigUpdaterThread::Progress() const {
    const std::lock_guard lock(fProgressMutex);
    return fProgress;
}

std::string TConfigUpdaterThread::GetProjectName() const {
    return ProjectOf(Request());
}

std::string TConfigUpdaterThread::GetConfigServerPath() const {
    return ConfigServerPath(fSettings.ConfigServerRoot, GetProjectName());
}

std::string TConfigUpdaterThread::GetConfigInfoFileName() const {
    return GetConfigServerPath() + "configinfo.xml";
}

std::string TConfigUpdaterThread::GetLastConfigUpdateRegKey(const std::string& AConfigType) const {
    return LastConfigUpdateRegKey(GetProjectName(), AConfigType);
}

}  // namespace qb
