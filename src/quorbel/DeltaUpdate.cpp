#include "quorbel/DeltaUpdate.h"

#include <exception>
#include <optional>

#include "common/base/KmDebug.h"
#include "common/files/FileSystem.h"
#include "common/files/WorkDir.h"
#include "common/zip/KmZipper.h"
#include "quorbel/DeltaManifest.h"
#include "quorbel/DeltaRebuild.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/PackageCache.h"
#include "quorbel/PackageDigest.h"
#include "quorbel/SourceFetch.h"

namespace qb {
namespace {

// No manifest of a real package comes near this.
constexpr int64_t kMaxManifestBytes = int64_t{64} << 20;

const TDeltaData* DeltaFor(const TConfigInfoXmlData& entry, const std::string& installed) {
    if (installed.empty() || installed == "init" || entry.Date == "force" ||
        entry.Date == installed) {
        return nullptr;
    }
    for (const TDeltaData& delta : entry.Deltas) {
        if (delta.Base == installed && IsSha256Hex(delta.Sha256) &&
            !PackageFileName(delta.Url).empty()) {
            return &delta;
        }
    }
    return nullptr;
}

TDeltaResult NotUsed(const TDeltaData& delta, const std::string& type, const std::string& why) {
    km::DebugLog(type + ": delta " + delta.Url + " not used, the full package instead: " + why,
                 "ConfigUpdater");
    return TDeltaResult::NotUsed;
}

}  // namespace

TDeltaResult InstallFromDelta(const TRunContext& context, const TConfigInfoXmlData& entry,
                              const TUpdateType& type, const TTypeFolders& folders,
                              const std::string& password, const std::string& lastConfigUpdate,
                              TTypeReport& report) {
    // An install package is unpacked anew every time: nothing of it stays
    // installed for a delta to start from.
    const TDeltaData* delta = DeltaFor(entry, lastConfigUpdate);
    // The release it makes must be known by its digest: recorded as
    // installed, it is never installed again from a waiting archive.
    if (delta == nullptr || type.InstalledBit == kFollowUpBit || !folders.Target.Valid() ||
        !IsSha256Hex(entry.Sha256)) {
        return TDeltaResult::NotUsed;
    }
    TConfigInfoXmlData package;
    package.Date = entry.Date;
    package.Url = delta->Url;
    package.Sha256 = delta->Sha256;
    package.Size = delta->Size;

    // The delta itself, from the practice's cache or the server; its digest
    // decides either way.
    TPackageSource source = TPackageSource::Cache;
    const TPackageSource fetchedFrom =
        context.Request.MediaDir.empty() ? TPackageSource::Server : TPackageSource::Media;
    km::TUniqueFd archive;
    if (context.Cache != nullptr) {
        const std::string copy = "cached-" + package.Sha256 + ".zip";
        archive = context.Cache->Lookup(package.Sha256, context.DownloadDir.Dir(), copy);
        if (archive.Valid()) {
            km::Fs().UnlinkAt(context.DownloadDir.Dir().Fd(), copy.c_str(), 0);
        }
    }
    TSourceAttempt attempt;
    if (!archive.Valid()) {
        source = fetchedFrom;
        if (context.Observer != nullptr) {
            context.Observer->FetchingFrom(type.Name, source);
        }
        attempt = FetchFromSource(context, package, type.Name, package.Url, true);
        if (attempt.Status == TSourceAttempt::TStatus::Stopped) {
            SetFailure(report, attempt.Code, attempt.Problem, TOutcome::Stopped);
            return TDeltaResult::Stopped;
        }
        if (attempt.Status != TSourceAttempt::TStatus::Done) {
            return NotUsed(*delta, type.Name, ProblemTextGerman(attempt.Problem));
        }
        archive = std::move(attempt.Archive);
        if (context.Cache != nullptr) {
            context.Cache->Store(archive.Get(), package.Sha256);
        }
        // Open, it is all the rest needs; nothing of it is left behind.
        km::Fs().UnlinkAt(attempt.Folder.Fd(), attempt.Name.c_str(), 0);
    } else if (context.Observer != nullptr) {
        context.Observer->FetchingFrom(type.Name, source);
    }

    try {
        // The delta's own files where only this user reaches them.
        const km::TWorkDir unpacked(context.Folders.PrivateTemp(), "~qb");
        km::ExtractZipArchive(archive.Get(), unpacked.Dir(), password);
        const std::optional<std::string> text =
            ReadHeldFile(unpacked.Dir(), kDeltaManifestName, kMaxManifestBytes);
        if (!text) {
            return NotUsed(*delta, type.Name, "the delta has no manifest");
        }
        std::string error;
        const std::optional<TDeltaManifest> manifest = ParseDeltaManifest(*text, error);
        if (!manifest) {
            return NotUsed(*delta, type.Name, error);
        }
        if (manifest->Base != lastConfigUpdate) {
            return NotUsed(*delta, type.Name, "a delta from " + manifest->Base);
        }
        const km::TWorkDir work = NewUnpackFolder(context, type);
        error = RebuildFromDelta(*manifest, type.Name, folders.Target, unpacked.Dir(), work.Dir(),
                                 context.Request.Settings.MaxPackageBytes, context.ShouldStop);
        if (context.StopRequested()) {
            SetFailure(report, -1002, {TProblemId::Stopped, {}}, TOutcome::Stopped);
            return TDeltaResult::Stopped;
        }
        if (!error.empty()) {
            return NotUsed(*delta, type.Name, error);
        }
        TTypeReport placing;
        const bool replaceAll = type.ReplaceAll && type.Target != TTargetFolder::InstallFolder;
        if (PlaceUnpacked(context, work, type, folders, replaceAll, placing) != 0) {
            return NotUsed(*delta, type.Name, ProblemTextGerman(placing.Problem));
        }
    } catch (const std::exception& e) {
        return NotUsed(*delta, type.Name, e.what());
    }
    report.Url = package.Url;
    report.Source = source;
    report.Delta = true;
    return TDeltaResult::Installed;
}

}  // namespace qb
