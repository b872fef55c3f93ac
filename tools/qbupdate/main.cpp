// qbupdate: the online update without a window, for administrators and
// timers. The same engine, installer mode, project, server root, settings
// store, lock and codes as the window; see --help for the exit codes.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Report.h"
#include "common/base/KmException.h"
#include "common/base/MessageCatalogue.h"
#include "common/files/ExecuteFile.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/Product.h"
#include "quorbel/UpdateCheck.h"
#include "quorbel/UpdateRun.h"

namespace {

using namespace qbupdate;

volatile std::sig_atomic_t gStopSignal = 0;

void OnStopSignal(int signal) {
    gStopSignal = signal;
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

std::string Size(int64_t bytes) {
    char text[32];
    if (bytes >= 1 << 20) {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    } else {
        std::snprintf(text, sizeof text, "%.0f KiB", static_cast<double>(bytes) / 1024);
    }
    return text;
}

// Progress on standard error: a bar that rewrites itself on a terminal, a
// line per finished type otherwise (a journal stays readable).
class TProgressDisplay {
  public:
    TProgressDisplay() : fTerminal(::isatty(STDERR_FILENO) == 1) {}

    void Update(const qb::TConfigUpdaterThread& worker) {
        Report(worker.Outcomes());
        if (!fTerminal) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - fLastDraw < std::chrono::milliseconds(200)) {
            return;
        }
        const qb::TRunProgress progress = worker.Progress();
        if (progress.Type != fType || progress.Received < fLastBytes) {
            fType = progress.Type;
            fStart = now;
        }
        const double seconds = std::chrono::duration<double>(now - fStart).count();
        const double rate = seconds > 0 ? static_cast<double>(progress.Received) / seconds : 0;
        const int filled = static_cast<int>((progress.Received / (256 * 1024)) % 21);
        std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                          std::string(static_cast<size_t>(20 - filled), ' ') + "]";
        std::fprintf(stderr, "\r%-8s %s %10s  %10s/s ", progress.Type.c_str(), bar.c_str(),
                     Size(progress.Received).c_str(), Size(static_cast<int64_t>(rate)).c_str());
        std::fflush(stderr);
        fDrawn = true;
        fLastDraw = now;
        fLastBytes = progress.Received;
    }

    // The lines of the types that ended since the last report.
    void Report(const std::vector<qb::TTypeOutcome>& outcomes) {
        for (; fReported < outcomes.size(); ++fReported) {
            Clear();
            std::fprintf(stderr, "%s\n", OutcomeLine(outcomes[fReported]).c_str());
        }
    }

    void Clear() {
        if (fDrawn) {
            std::fprintf(stderr, "\r%72s\r", "");
            fDrawn = false;
        }
    }

  private:
    bool fTerminal;
    bool fDrawn = false;
    size_t fReported = 0;
    std::string fType;
    int64_t fLastBytes = 0;
    std::chrono::steady_clock::time_point fStart = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point fLastDraw{};
};

qb::TUpdateRunSettings RunSettings() {
    qb::TUpdateRunSettings settings;
    settings.InstallerMode = true;
    settings.Project = qb::kInstallerProject;
    return settings;
}

int Check(const TOptions& options) {
    const auto deadline = std::chrono::steady_clock::now() + options.Timeout;
    bool timedOut = false;
    const qb::TUpdateCheck check = qb::CheckForUpdates(RunSettings(), [&] {
        timedOut = timedOut || std::chrono::steady_clock::now() > deadline;
        return gStopSignal != 0 || timedOut;
    });
    std::fputs((options.Json ? CheckJson(check) : CheckText(check)).c_str(), stdout);
    if (gStopSignal != 0 || timedOut) {
        return kExitStopped;
    }
    if (!check.HaveDescriptor) {
        return kExitNoDescriptor;
    }
    for (const qb::TTypeOffer& offer : check.Types) {
        if (offer.Waiting) {
            return kExitUpdatesWait;
        }
    }
    return kExitOk;
}

int ExitCodeOf(const qb::TUpdateRunResult& run) {
    if (run.Code == qb::kAnotherUpdateHoldsTheProduct) {
        return kExitLocked;
    }
    if (run.Outcomes.empty() || run.Code == -1) {
        return kExitFailed;  // an error that ended the run, whatever came before it
    }
    bool allOk = true;
    bool noDescriptor = true;
    for (const qb::TTypeOutcome& outcome : run.Outcomes) {
        allOk = allOk && (outcome.Code == 0 || outcome.Code == -1001);
        noDescriptor = noDescriptor && (outcome.Code == -4 || outcome.Code == -5);
    }
    return allOk ? kExitOk : noDescriptor ? kExitNoDescriptor : kExitFailed;
}

int Run(const TOptions& options) {
    TProgressDisplay display;
    const auto deadline = std::chrono::steady_clock::now() + options.Timeout;
    bool stopped = false;
    const qb::TUpdateRunResult run = qb::RunUpdateToEnd(
        RunSettings(),
        [&](qb::TConfigUpdaterThread& worker) {
            display.Update(worker);
            if (!stopped && (gStopSignal != 0 || std::chrono::steady_clock::now() > deadline)) {
                stopped = true;
                worker.Terminate();
            }
        },
        std::chrono::milliseconds(50));
    display.Report(run.Outcomes);
    display.Clear();
    std::string followUp;
    int code = stopped ? kExitStopped : ExitCodeOf(run);
    if (!stopped && run.Code > 0 && (run.Code & qb::kFollowUpBit) != 0 && !run.ToRun.empty()) {
        if (options.FollowUp) {
            // As the window starts it: the path and parameters as they stand,
            // the program's folder as working folder, no shell.
            try {
                km::ExecuteFile(run.ToRunPath, run.RunParams, false, true);
                followUp = run.ToRunPath + (run.RunParams.empty() ? "" : " " + run.RunParams);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "qbupdate: the follow-up program %s did not start: %s\n",
                             run.ToRunPath.c_str(), e.what());
                code = kExitFailed;
            }
        } else {
            std::fprintf(stderr, "qbupdate: follow-up program not started (--no-follow-up): %s\n",
                         run.ToRunPath.c_str());
        }
    }
    std::fputs((options.Json ? RunJson(run, followUp) : RunText(run, followUp)).c_str(), stdout);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<TOptions> options =
        ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "qbupdate: %s\n\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (options->Help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (options->Version) {
        std::printf("qbupdate %s\n", QB_VERSION);
        return kExitOk;
    }
    try {
        km::InitMessageCatalogue();
        km::SetRegistryRoot(qb::kProductRegistryKey);
        InstallStopHandlers();
        return options->Check ? Check(*options) : Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qbupdate: %s\n", e.what());
        return kExitFailed;
    }
}
