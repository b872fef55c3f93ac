#include "quorbel/UpdateRun.h"

#include "common/thread/Thread.h"
#include "common/thread/ThreadManager.h"

namespace qb {

TUpdateRunResult RunUpdateToEnd(const TUpdateRunSettings& settings,
                                const std::function<void(TConfigUpdaterThread&)>& onPoll,
                                std::chrono::milliseconds pollInterval) {
    km::TThreadManager manager;
    auto* worker = km::CreateManagedThread<TConfigUpdaterThread>(
        kUpdaterThreadId, &manager, true, settings.InstallerMode,
        settings.InstallerMode ? settings.Project : std::string(), settings.Worker);
    // Ended threads are freed on this thread only, so the worker is valid
    // whenever the loop finds it running.
    while (manager.IsRunning(kUpdaterThreadId)) {
        if (onPoll) {
            onPoll(*worker);
        }
        km::CheckSynchronize(pollInterval);
    }
    TUpdateRunResult result;
    result.Code = manager.GetThreadResult(kUpdaterThreadId);
    result.Text = manager.GetCustomThreadResult(kUpdaterThreadId);
    if (const auto* ended =
            dynamic_cast<TConfigUpdaterThread*>(manager.GetThread(kUpdaterThreadId))) {
        result.ToRun = ended->ToRun();
        result.ToRunPath = ended->GetToRun();
        result.RunParams = ended->RunParams();
        result.Outcomes = ended->Outcomes();
    }
    return result;
}

}  // namespace qb
