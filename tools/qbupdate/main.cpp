// qbupdate: the online update without a window, for administrators and
// timers. The same engine (UpdateRun.h), installer mode, project, server
// root, settings store, lock and codes as the window; see --help for the
// exit codes. The run goes on this program's main thread.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Report.h"
#include "Status.h"
#include "common/base/MessageCatalogue.h"
#include "common/crypto/Crypto.h"
#include "common/files/ExecuteFile.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/DescriptorSignature.h"
#include "quorbel/Product.h"
#include "quorbel/ProductFolders.h"
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

// Outcome lines go to standard output as each type ends; progress goes to
// standard error: a bar that rewrites itself on a terminal, nothing but the
// lines that matter (a wait for the lock) otherwise, so that a journal
// holds every line once.
class TConsole : public qb::TRunObserver {
  public:
    explicit TConsole(bool json) : fJson(json), fTerminal(::isatty(STDERR_FILENO) == 1) {}

    void TypeStarted(const std::string& type) override {
        fType = type;
        fStart = std::chrono::steady_clock::now();
        fLastBytes = 0;
    }

    void Received(int64_t bytes) override {
        if (!fTerminal) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - fLastDraw < std::chrono::milliseconds(200)) {
            return;
        }
        if (bytes < fLastBytes) {
            fStart = now;  // a download started again
        }
        const double seconds = std::chrono::duration<double>(now - fStart).count();
        const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
        const int filled = static_cast<int>((bytes / (256 * 1024)) % 21);
        std::string bar(22, ' ');
        bar.front() = '[';
        bar.back() = ']';
        std::fill_n(bar.begin() + 1, filled, '#');
        std::fprintf(stderr, "\r%-8s %s %10s  %10s/s ", fType.c_str(), bar.c_str(),
                     Size(bytes).c_str(), Size(static_cast<int64_t>(rate)).c_str());
        std::fflush(stderr);
        fDrawn = true;
        fLastDraw = now;
        fLastBytes = bytes;
    }

    void WaitingForLock(const std::string& holder) override {
        Clear();
        std::fprintf(stderr, "qbupdate: waiting for another update of this product to end (%s)\n",
                     holder.empty() ? "holder unknown" : Printable(holder).c_str());
    }

    // The vendor's server is where packages come from unless said otherwise.
    void FetchingFrom(const std::string& type, qb::TPackageSource source) override {
        if (source == qb::TPackageSource::Server) {
            return;
        }
        Clear();
        std::fprintf(stderr, "%s: fetching from %s\n", type.c_str(), qb::PackageSourceName(source));
    }

    void TypeEnded(const qb::TTypeReport& report) override {
        Clear();
        if (!fJson) {
            std::printf("%s\n", OutcomeLine(report).c_str());
            std::fflush(stdout);
        }
    }

    void Clear() {
        if (fDrawn) {
            std::fprintf(stderr, "\r%72s\r", "");
            fDrawn = false;
        }
    }

  private:
    bool fJson;
    bool fTerminal;
    bool fDrawn = false;
    std::string fType;
    int64_t fLastBytes = 0;
    std::chrono::steady_clock::time_point fStart = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point fLastDraw{};
};

qb::TRunRequest Request(const TOptions& options) {
    qb::TRunRequest request;
    request.InstallerMode = true;
    request.Project = qb::kInstallerProject;
    request.DeferInstall = !options.FollowUp;
    request.Settings.RunTimeLimit = options.Timeout;
    request.Settings.UserAgent = "qbupdate/" + qb::ProgramVersion();
    request.MediaDir = options.MediaDir;
    return request;
}

// What the build trusts: its server and the fingerprints (SHA-256 of the raw
// key) of its keys.
int Version() {
    std::printf("qbupdate %s\nserver %s\n", qb::ProgramVersion().c_str(),
                qb::DefaultConfigServerRoot().c_str());
    const std::vector<std::string> keys = qb::DecodePublicKeys(qb::DefaultUpdatePublicKeys());
    if (keys.empty()) {
        std::printf("keys none (unsigned updates)\n");
    }
    for (const std::string& key : keys) {
        km::TSha256 sha;
        sha.Update(key.data(), key.size());
        std::printf("key SHA256:%s\n", sha.FinalHex().c_str());
    }
    return kExitOk;
}

int Status(const TOptions& options) {
    const std::optional<std::string> status =
        options.Json ? StatusJson(qb::kInstallerProject) : StatusText(qb::kInstallerProject);
    if (!status) {
        std::fprintf(stderr, "qbupdate: no run of qbupdate is recorded (%s)\n",
                     StatusFile(qb::kInstallerProject).c_str());
        return kExitFailed;
    }
    std::fputs(status->c_str(), stdout);
    return kExitOk;
}

// A product its installer did not set up cannot be updated: said once,
// with its own exit code.
bool SetUp() {
    const qb::TProblem problem = qb::ProductSetupProblem(qb::RealWorld().Settings);
    if (problem.Empty()) {
        return true;
    }
    std::fprintf(stderr, "qbupdate: the product is not set up: %s\n",
                 Printable(qb::ProblemText(problem)).c_str());
    return false;
}

// A stop request: SIGINT or SIGTERM (the time limit is the engine's).
bool StopSignalled() {
    return gStopSignal != 0;
}

int Check(const TOptions& options) {
    const qb::TUpdateCheck check =
        qb::CheckForUpdates(Request(options), qb::RealWorld(), &StopSignalled);
    std::fputs((options.Json ? CheckJson(check) : CheckText(check)).c_str(), stdout);
    if (check.Stopped || StopSignalled()) {
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

int Export(const TOptions& options) {
    TConsole console(options.Json);
    const qb::TExportReport report = qb::ExportMedia(Request(options), qb::RealWorld(),
                                                     options.ExportDir, &StopSignalled, &console);
    console.Clear();
    std::fputs((options.Json ? ExportJson(report, options.ExportDir)
                             : ExportText(report, options.ExportDir))
                   .c_str(),
               stdout);
    if (report.Stopped || StopSignalled()) {
        return kExitStopped;
    }
    if (report.NoDescriptor) {
        return kExitNoDescriptor;
    }
    return report.Problem.Empty() ? kExitOk : kExitFailed;
}

int ExitCodeOf(const qb::TRunReport& report, bool stopped) {
    if (stopped || report.Stopped) {
        return kExitStopped;
    }
    if (report.RunCode == qb::kAnotherUpdateHoldsTheProduct) {
        return kExitLocked;
    }
    if (report.Types.empty() || report.RunCode != 0) {
        return kExitFailed;  // an error that ended the run, whatever came before it
    }
    bool allOk = true;
    bool noDescriptor = true;
    for (const qb::TTypeReport& type : report.Types) {
        allOk = allOk && (type.Code == 0 || type.Code == -1001);
        noDescriptor = noDescriptor && (type.Code == -4 || type.Code == -5);
    }
    return allOk ? kExitOk : noDescriptor ? kExitNoDescriptor : kExitFailed;
}

int Run(const TOptions& options) {
    TConsole console(options.Json);
    const qb::TRunReport report =
        qb::RunUpdate(Request(options), qb::RealWorld(), &StopSignalled, &console);
    console.Clear();
    std::string followUp;
    int code = ExitCodeOf(report, StopSignalled() || report.TimeLimitReached);
    if (code != kExitStopped && qb::HasFollowUp(report)) {
        // As the window starts it: the path and parameters as they stand,
        // the program's folder as working folder, no shell.
        const std::string path = report.FollowUp.Path();
        try {
            km::ExecuteFile(path, report.FollowUp.RunParams, false, true);
            followUp =
                path + (report.FollowUp.RunParams.empty() ? "" : " " + report.FollowUp.RunParams);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qbupdate: the follow-up program %s did not start: %s\n",
                         Printable(path).c_str(), Printable(e.what()).c_str());
            code = kExitFailed;
        }
    }
    std::fputs((options.Json ? RunJson(report, followUp) : RunTail(report, followUp)).c_str(),
               stdout);
    if (!WriteStatus(qb::kInstallerProject, report,
                     qb::PublishedTimeOf(std::chrono::system_clock::now()))) {
        std::fprintf(stderr, "qbupdate: the run's status could not be recorded in %s\n",
                     StatusFile(qb::kInstallerProject).c_str());
    }
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
    try {
        if (options->Version) {
            return Version();
        }
        km::InitMessageCatalogue();
        km::SetRegistryRoot(qb::kProductRegistryKey);
        if (options->Status) {
            return Status(*options);
        }
        if (!SetUp()) {
            return kExitNotSetUp;
        }
        InstallStopHandlers();
        if (!options->ExportDir.empty()) {
            return Export(*options);
        }
        return options->Check ? Check(*options) : Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qbupdate: %s\n", Printable(e.what()).c_str());
        return kExitFailed;
    }
}
