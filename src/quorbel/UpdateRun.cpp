#include "quorbel/UpdateRun.h"

#include <exception>
#include <optional>
#include <set>

#include "common/files/WorkDir.h"
#include "quorbel/ConfigInfoXml.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/MediaFetcher.h"
#include "quorbel/PackageCache.h"
#include "quorbel/ProductFolders.h"
#include "quorbel/RunContext.h"
#include "quorbel/TypeUpdate.h"
#include "quorbel/UpdateLock.h"
#include "quorbel/UpdateRecovery.h"
#include "quorbel/XmlParserGuard.h"

namespace qb {
namespace {

// The digests of every package and delta the descriptor names; nothing
// when an entry cannot be read (its type reports that; the cache then keeps
// what it has).
std::optional<std::set<std::string>> NamedDigests(const TConfigInfoXml& xml) {
    std::set<std::string> digests;
    try {
        for (const TUpdateType& type : kUpdateTypes) {
            const TConfigInfoXmlData entry = xml.ReadEntry(type.Name);
            digests.insert(entry.Sha256);
            for (const TDeltaData& delta : entry.Deltas) {
                digests.insert(delta.Sha256);
            }
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return digests;
}

void RunTypes(const TRunContext& context, const TDescriptor& descriptor, TRunReport& report) {
    const TRunRequest& request = context.Request;
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.InstallerModeOnly && !request.InstallerMode) {
            continue;
        }
        if (context.Observer != nullptr) {
            context.Observer->TypeStarted(type.Name);
        }
        const std::string password =
            request.Settings.ArchivePasswords
                ? ArchivePasswordBytes(request.Settings.ArchivePasswords(type.Name))
                : std::string();
        TTypeReport typeReport = UpdateForConfigType(context, type, descriptor, password);
        typeReport.Date =
            context.World.Settings.Read(LastConfigUpdateRegKey(context.Project, type.Name), "");
        report.Stopped = report.Stopped || typeReport.Outcome == TOutcome::Stopped;
        // The text that goes with the combined result is the last failure's
        // own; a missing descriptor has the window's connection text.
        if (!typeReport.Problem.Empty() && typeReport.Code != -4) {
            report.Problem = typeReport.Problem;
        }
        report.Types.push_back(typeReport);
        if (context.Observer != nullptr) {
            context.Observer->TypeEnded(report.Types.back());
        }
    }
}

void Run(const TRunRequest& request, const TWorld& world, const std::function<bool()>& shouldStop,
         TRunObserver* observer, TRunReport& report) {
    TProductFolders folders(world.Settings);
    const TUpdateLock lock(folders.Config(), shouldStop, request.Settings.LockWait, world.Clock,
                           [observer](const std::string& holder) {
                               if (observer != nullptr) {
                                   observer->WaitingForLock(holder);
                               }
                           });
    if (lock.State() == TUpdateLock::TState::Stopped) {
        report.RunCode = -1;
        report.Problem = {TProblemId::Stopped, {}};
        report.Stopped = true;
        return;
    }
    if (lock.State() == TUpdateLock::TState::TimedOut) {
        report.RunCode = kAnotherUpdateHoldsTheProduct;
        report.Problem = {TProblemId::AnotherUpdate, {lock.Holder()}};
        report.LockHolder = lock.Holder();
        return;
    }
    RecoverInterruptedUpdate(
        folders.Config(), folders.Install(),
        [&folders](const std::string& dir) { return folders.IsCopyInTarget(dir); });
    RemoveStaleWorkingFolders(folders.PrivateTemp());
    km::TWorkDir downloadDir(folders.PrivateTemp(), "~qb");
    const TXmlParserGuard parserGuard;
    TMediaFetcher media(request.MediaDir);
    const TWorld runWorld =
        request.MediaDir.empty() ? world : TWorld{media, world.Files, world.Settings, world.Clock};
    TPackageCache cache(folders.Config(), PackageCacheBound(world.Settings));
    TRunContext context = MakeRunContext(request, runWorld, shouldStop, observer, folders,
                                         downloadDir, report.FollowUp);
    TDescriptor descriptor;
    if (request.OnlineUpdate) {
        descriptor = DownloadConfigInfoXml(context);
    }
    report.Stopped = descriptor.Missing == TOutcome::Stopped && !descriptor.Xml;
    context.Cache = &cache;
    // Pruned first, so that what the descriptor names now finds room.
    if (descriptor.Xml) {
        if (const std::optional<std::set<std::string>> named = NamedDigests(*descriptor.Xml)) {
            cache.Prune(*named);
        }
    }
    RunTypes(context, descriptor, report);
}

}  // namespace

TRunReport RunUpdate(const TRunRequest& request, const TWorld& world,
                     const std::function<bool()>& shouldStop, TRunObserver* observer) {
    const km::TFileSystemScope fileSystem(world.Files);
    TRunReport report;
    report.InstallerMode = request.InstallerMode;
    // The run's own time limit stops it as a stop request does.
    const auto deadline = world.Clock.Steady() + request.Settings.RunTimeLimit;
    const std::function<bool()> stop = [&] {
        if (shouldStop && shouldStop()) {
            return true;
        }
        report.TimeLimitReached = report.TimeLimitReached || world.Clock.Steady() >= deadline;
        return report.TimeLimitReached;
    };
    // Whatever escapes the steps ends the run with -1 and its text; the types
    // handled before stay in the report.
    try {
        Run(request, world, stop, observer, report);
    } catch (const EDescriptorElement& e) {
        report.RunCode = -1;
        report.Problem = {TProblemId::ElementNotSingleText, {e.Element()}};
    } catch (const std::exception& e) {
        report.RunCode = -1;
        report.Problem = {TProblemId::Message, {e.what()}};
    }
    return report;
}

}  // namespace qb
