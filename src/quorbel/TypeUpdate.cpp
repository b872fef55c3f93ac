#include "quorbel/TypeUpdate.h"

#include <sys/stat.h>

#include <optional>

#include "common/base/KmDebug.h"
#include "common/files/FileSystem.h"
#include "common/files/WorkDir.h"
#include "quorbel/DeltaUpdate.h"
#include "quorbel/FollowUpPath.h"
#include "quorbel/InstalledDigests.h"
#include "quorbel/LocalArchive.h"
#include "quorbel/PackageDigest.h"
#include "quorbel/PackageFetch.h"
#include "quorbel/PackageInstall.h"

namespace qb {
namespace {

bool OffersNewPackage(const TConfigInfoXmlData& entry, const std::string& lastConfigUpdate) {
    return !entry.Date.empty() && !entry.Url.empty() && !PackageFileName(entry.Url).empty() &&
           (entry.Date != lastConfigUpdate || entry.Date == "force");
}

// Deletes the waiting archive (when it still is the file open as fd).
void DeleteWaiting(int fd, const TTypeFolders& folders, const std::string& why) {
    km::DebugWarning(
        "package archive " + folders.ArchivePath + folders.ArchiveName + " deleted: " + why,
        "ConfigUpdater");
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && folders.Archive.StatAt(folders.ArchiveName, named) == 0 &&
        km::SameFile(opened, named)) {
        km::Fs().UnlinkAt(folders.Archive.Fd(), folders.ArchiveName.c_str(), 0);
    }
}

// Whether the waiting archive open as fd (whose digest is digest) may be
// installed: never one installed before (put back, it would roll the
// product back), and in a signed build only the download whose digest was
// verified. Any other is deleted.
bool MayInstallWaiting(const TRunContext& context, int fd, const std::string& digest,
                       const TTypeFolders& folders, const std::string& type) {
    if (WasInstalled(context.World.Settings, context.Project, type, digest)) {
        DeleteWaiting(fd, folders, "it was installed before (a replay)");
        return false;
    }
    if (!context.Signed()) {
        return true;
    }
    const std::string recorded =
        context.World.Settings.Read(ArchiveDigestRegKey(context.Project, type), "");
    if (!recorded.empty() && digest == recorded) {
        return true;
    }
    DeleteWaiting(fd, folders, "it is not a verified download");
    return false;
}

// -9, with its problem, when the follow-up program of the install package
// in packageDir lies outside it; 0 otherwise.
int32_t CheckFollowUp(const std::string& packageDir, const std::string& toRun,
                      TTypeReport& report) {
    if (IsInsidePackage(packageDir, toRun)) {
        return 0;
    }
    SetFailure(report, -9, {TProblemId::FollowUpOutside, {toRun}});
    return -9;
}

}  // namespace

TTypeReport UpdateForConfigType(const TRunContext& context, const TUpdateType& type,
                                const TDescriptor& descriptor, const std::string& password) {
    TTypeReport report;
    report.Type = type.Name;
    // A refused descriptor installs nothing, a waiting archive neither.
    if (descriptor.Missing == TOutcome::Refused) {
        SetFailure(report, -5, descriptor.Problem, TOutcome::Refused);
        return report;
    }
    const bool hasFollowUp = type.InstalledBit == kFollowUpBit;
    TTypeFolders folders;
    folders.ArchiveName = std::string(type.Name) + ".zip";
    // An install package's folder: new for every run, kept only when it
    // received a package.
    std::optional<km::TWorkDir> installFolder;
    if (type.Archive == TArchiveFolder::NewTempFolder) {
        try {
            installFolder.emplace(context.Folders.PrivateTemp(), "~qo");
        } catch (const std::exception& e) {
            SetFailure(report, -2, {TProblemId::Message, {e.what()}});
            return report;
        }
        folders.Archive = installFolder->Dir().Dup();
        folders.ArchivePath = installFolder->Path();
    } else if (context.Folders.ConfigPath().empty()) {
        // Without a recorded data folder the folders would be relative to
        // whatever the current folder is: never touch those. A descriptor
        // that could not be fetched is the cause the user must hear of first.
        if (!descriptor.Xml) {
            SetFailure(report, -4, descriptor.Problem, descriptor.Missing);
        } else {
            SetFailure(report, -7, {TProblemId::NoDataFolder, {}});
        }
        return report;
    } else {
        folders.ArchivePath = context.Folders.ConfigPath() + type.Name + "/";
        folders.Archive = OpenSharedFolder(context.Folders.Config(), type.Name, false);
    }
    const auto setTarget = [&] {
        if (type.Target == TTargetFolder::InstallFolder) {
            folders.Target = context.Folders.Install().Dup();
            folders.TargetPath = context.Folders.InstallPath();
        } else {
            folders.Target = folders.Archive.Dup();
            folders.TargetPath = folders.ArchivePath;
        }
    };
    setTarget();
    const std::string dateKey = LastConfigUpdateRegKey(context.Project, type.Name);
    std::string lastConfigUpdate;

    // Opened once: what is checked is what gets unpacked.
    const km::TUniqueFd waiting = OpenTrustedArchive(folders.Archive, folders.ArchiveName);
    const std::string waitingDigest = waiting.Valid() ? DigestOfFile(waiting.Get()) : "";
    if (waiting.Valid() &&
        MayInstallWaiting(context, waiting.Get(), waitingDigest, folders, type.Name)) {
        report.Code =
            UpdateFromConfigZip(context, waiting.Get(), "", type, folders, password, report);
        if (report.Code == 0) {
            RecordInstalled(context.World.Settings, context.Project, type.Name, waitingDigest);
            report.Installed = true;
            report.Outcome = TOutcome::Installed;
            report.Source = TPackageSource::Local;
            lastConfigUpdate = "init";
            context.World.Settings.Write(dateKey, "init");
        }
    }
    if (!descriptor.Xml) {
        report.Code = -4;
        if (!report.Installed) {
            report.Outcome = descriptor.Missing;
            report.Problem = descriptor.Problem;
        }
        return report;
    }
    lastConfigUpdate = context.World.Settings.Read(dateKey, lastConfigUpdate);
    const TConfigInfoXmlData entry = GetConfigInfoXmlData(context, *descriptor.Xml, type.Name);
    context.FollowUp.ToRun = entry.ToRun;
    context.FollowUp.RunParams = entry.RunParams;
    if (!OffersNewPackage(entry, lastConfigUpdate)) {
        report.Code = -1001;
        report.Outcome = report.Installed ? TOutcome::Installed : TOutcome::Current;
        return report;
    }
    if (hasFollowUp && context.Request.DeferInstall) {
        // Left to the window, where a person starts its program.
        report.Code = -1001;
        report.Outcome = report.Installed ? TOutcome::Installed : TOutcome::Deferred;
        report.Url = entry.Url;
        return report;
    }
    if (type.Archive == TArchiveFolder::ConfigSubfolder && context.Folders.EnsureConfig()) {
        folders.Archive = OpenSharedFolder(context.Folders.Config(), type.Name, true);
        setTarget();
    }
    switch (InstallFromDelta(context, entry, type, folders, password, lastConfigUpdate, report)) {
        case TDeltaResult::Installed:
            context.World.Settings.Write(dateKey, entry.Date);
            if (IsSha256Hex(entry.Sha256)) {
                RecordInstalled(context.World.Settings, context.Project, type.Name, entry.Sha256);
            }
            report.Code = 0;
            report.Installed = true;
            report.Outcome = TOutcome::Installed;
            return report;
        case TDeltaResult::Stopped:
            return report;
        case TDeltaResult::NotUsed:
            break;
    }
    TDownload download = DownloadConfigZipIfNew(context, entry, folders.Archive,
                                                folders.ArchiveName, lastConfigUpdate, report);
    int32_t code = download.Code;
    if (code == 0 && hasFollowUp) {
        code =
            CheckFollowUp(folders.TargetPath, entry.ToRun, report);  // before anything is unpacked
    }
    if (code != 0) {
        report.Code = code;
        if (code == -1001) {
            report.Outcome = report.Installed ? TOutcome::Installed : TOutcome::Current;
        }
        return report;
    }
    code = UpdateFromConfigZip(context, download.Archive.Get(), download.PlaceError, type, folders,
                               password, report, &download.PlacedCopy);
    if (code == 0 && hasFollowUp) {
        code = CheckFollowUp(folders.TargetPath, entry.ToRun, report);  // a link in the package
        if (code != 0) {
            km::DeleteContent(folders.Target);  // the package's own new folder
        }
    }
    report.Code = code;
    if (code != 0) {
        return report;
    }
    context.World.Settings.Write(dateKey, lastConfigUpdate);
    RecordInstalled(context.World.Settings, context.Project, type.Name, download.Digest);
    report.Installed = true;
    report.Outcome = TOutcome::Installed;
    if (installFolder) {
        installFolder->Keep();
    }
    return report;
}

}  // namespace qb
