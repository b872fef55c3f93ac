// drill_update_run: one update run of the engine in this process, for the
// reliability drills. The registry store and the temporary folder follow the
// environment (KM_REGISTRY_DIR, TMPDIR), as in the real program.
//
//   drill_update_run seed INSTALLDIR DATADIR
//       records the product's folders ("InstallDir", "DatabaseDir")
//   drill_update_run run SERVERROOT [PROJECT]
//       one run; with a PROJECT in installer mode (dev, partner, patch,
//       install), without one for dev and partner only. Prints
//       "result <code>", "text <CustomReturnValue>", "seconds <s>",
//       "maxrss_kib <k>".
//   drill_update_run recover
//       only the clean-up a run does first (under the update lock)
//   drill_update_run get NAME
//       prints a value below the settings root ("<none>" when absent)
//   drill_update_run write-loop PREFIX COUNT
//       writes PREFIX.<i> = <i> for i < COUNT below the settings root, then
//       reads every one back; prints "failed_writes <n>" and "lost <n>"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/registry/KmRegistry.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/ProductFolders.h"
#include "quorbel/UpdateLock.h"
#include "quorbel/UpdateRecovery.h"
#include "quorbel/UpdateRun.h"
#include "quorbel/UpdateWorld.h"

namespace {

int Usage() {
    std::fputs(
        "usage: drill_update_run seed INSTALLDIR DATADIR | run SERVERROOT [PROJECT] | recover |\n"
        "       get NAME | write-loop PREFIX COUNT\n",
        stderr);
    return 2;
}

long MaxRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Run(const std::string& serverRoot, const std::string& project) {
    const auto start = std::chrono::steady_clock::now();
    qb::TRunRequest request;
    request.InstallerMode = !project.empty();
    request.Project = project;
    request.Settings.ConfigServerRoot = serverRoot;
    const qb::TRunReport run = qb::RunUpdate(request, qb::RealWorld(), {});
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("result %d\ntext %s\nseconds %.3f\nmaxrss_kib %ld\n", qb::CombinedResultCode(run),
                qb::ProblemTextGerman(run.Problem).c_str(), seconds.count(), MaxRssKib());
    return 0;
}

int Recover() {
    const qb::TWorld world = qb::RealWorld();
    qb::TProductFolders folders(world.Settings);
    const qb::TUpdateLock lock(folders.Config(), {}, qb::TUpdaterSettings().LockWait, world.Clock);
    if (!lock.Held()) {
        std::puts("lock not held");
        return 1;
    }
    qb::RecoverInterruptedUpdate(
        folders.Config(), folders.Install(),
        [&folders](const std::string& dir) { return folders.IsCopyInTarget(dir); });
    qb::RemoveStaleWorkingFolders(folders.PrivateTemp());
    return 0;
}

int WriteLoop(const std::string& prefix, long count) {
    long failed = 0;
    for (long i = 0; i < count; ++i) {
        if (!km::WriteRegString(prefix + "." + std::to_string(i), std::to_string(i))) {
            ++failed;
        }
    }
    long lost = 0;
    for (long i = 0; i < count; ++i) {
        if (km::ReadRegString(prefix + "." + std::to_string(i), "<none>") != std::to_string(i)) {
            ++lost;
        }
    }
    std::printf("failed_writes %ld\nlost %ld\n", failed, lost);
    return failed == 0 && lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    km::SetRegistryRoot(qb::kProductRegistryKey);
    const std::string mode = argv[1];
    if (mode == "seed" && argc == 4) {
        const bool ok = km::WriteRegString("InstallDir", argv[2], qb::kProductRegistryKey) &&
                        km::WriteRegString("DatabaseDir", argv[3], qb::kProductRegistryKey);
        return ok ? 0 : 1;
    }
    if (mode == "run" && (argc == 3 || argc == 4)) {
        return Run(argv[2], argc == 4 ? argv[3] : "");
    }
    if (mode == "recover" && argc == 2) {
        return Recover();
    }
    if (mode == "get" && argc == 3) {
        std::puts(km::ReadRegString(argv[2], "<none>").c_str());
        return 0;
    }
    if (mode == "write-loop" && argc == 4) {
        return WriteLoop(argv[2], std::strtol(argv[3], nullptr, 10));
    }
    return Usage();
}
