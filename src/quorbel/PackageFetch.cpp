#include "quorbel/PackageFetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/crypto/Crypto.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/PackageCache.h"
#include "quorbel/PackageDigest.h"
#include "quorbel/SourceFetch.h"

namespace qb {
namespace {

// Puts the package open as fd (found as name in from) where it waits for its
// installation: moved when it may be and one rename does it, else a copy
// put in place in one step (copy then tells which file it is). "" or why it
// failed.
std::string Place(const km::TDir& from, const std::string& name, int fd, bool mayMove,
                  const km::TDir& folder, const std::string& archiveName, struct stat& copy) {
    if (!folder.Valid()) {
        return km::SysErrorMessage(errno != 0 ? errno : ENOENT) + ": " + folder.Path();
    }
    if (mayMove &&
        km::Fs().RenameAt(from.Fd(), name.c_str(), folder.Fd(), archiveName.c_str(), 0) == 0) {
        return {};
    }
    if (mayMove && errno != EXDEV) {
        return km::SysErrorMessage(errno) + ": " + folder.PathOf(archiveName);
    }
    ::lseek(fd, 0, SEEK_SET);
    if (const int err = km::CopyFileAt(fd, folder.Fd(), archiveName.c_str(), 0644, true);
        err != 0) {
        return km::SysErrorMessage(err) + ": " + folder.PathOf(archiveName);
    }
    folder.StatAt(archiveName, copy);
    if (mayMove) {
        km::Fs().UnlinkAt(from.Fd(), name.c_str(), 0);  // the open original is what gets unpacked
    }
    return {};
}

struct TSource {
    std::string Url;
    TPackageSource Kind;
};

// Where the package of entry may come from, in the order they are tried:
// offline media alone; else the practice's own source (an administrator's
// LAN server), the vendor's server, the descriptor's mirrors. Only a digest
// lets a package come from anywhere but the server.
std::vector<TSource> SourcesOf(const TRunContext& context, const TConfigInfoXmlData& entry) {
    if (!context.Request.MediaDir.empty()) {
        return {{entry.Url, TPackageSource::Media}};
    }
    std::vector<TSource> sources;
    const bool digest = IsSha256Hex(entry.Sha256);
    const std::string local = context.World.Settings.ReadProduct(kPackageSourceValue);
    if (digest && (local.starts_with("http://") || local.starts_with("https://"))) {
        sources.push_back({local + (local.ends_with("/") ? "" : "/") + PackageFileName(entry.Url),
                           TPackageSource::Mirror});
    }
    sources.push_back({entry.Url, TPackageSource::Server});
    if (digest) {
        for (const std::string& mirror : entry.Mirrors) {
            sources.push_back({mirror, TPackageSource::Mirror});
        }
    }
    return sources;
}

}  // namespace

std::string ArchiveDigestRegKey(const std::string& project, const std::string& type) {
    return "archivedigest" + LastConfigUpdateRegKey(project, type).substr(16);
}

TDownload DownloadConfigZipIfNew(const TRunContext& context, const TConfigInfoXmlData& entry,
                                 const km::TDir& archiveFolder, const std::string& archiveName,
                                 std::string& lastConfigUpdate, TTypeReport& report) {
    TDownload result;
    if (entry.Date.empty() || entry.Url.empty() ||
        (entry.Date == lastConfigUpdate && entry.Date != "force")) {
        result.Code = -1001;
        return result;
    }
    // A URL that names no file (".../") offers no package we could store.
    if (PackageFileName(entry.Url).empty()) {
        result.Code = -1001;
        return result;
    }
    report.Url = entry.Url;
    if (context.Signed() && !IsSha256Hex(entry.Sha256)) {
        SetFailure(report, -2, {TProblemId::DigestMismatch, {entry.Url, "?", "-"}});
        result.Code = -2;
        return result;
    }
    const bool haveDigest = IsSha256Hex(entry.Sha256);

    // The practice's cache first: a package another workstation fetched.
    km::TUniqueFd fromCache;
    const std::string cacheCopy = "cached-" + entry.Sha256 + ".zip";
    if (haveDigest && context.Cache != nullptr) {
        fromCache = context.Cache->Lookup(entry.Sha256, context.DownloadDir.Dir(), cacheCopy);
    }
    km::TDir from;
    std::string name;
    bool mayMove = true;
    TSourceAttempt attempt;
    if (fromCache.Valid()) {
        result.Digest = entry.Sha256;
        result.Archive = std::move(fromCache);
        report.Source = TPackageSource::Cache;
        from = context.DownloadDir.Dir().Dup();
        name = cacheCopy;
        if (context.Observer != nullptr) {
            context.Observer->FetchingFrom(report.Type, report.Source);
        }
    } else {
        for (const TSource& source : SourcesOf(context, entry)) {
            if (context.Observer != nullptr) {
                context.Observer->FetchingFrom(report.Type, source.Kind);
            }
            // A signed build checks every package; otherwise what does not
            // come from the vendor's server must prove itself by its digest.
            const bool verify = context.Signed() || source.Kind != TPackageSource::Server;
            attempt = FetchFromSource(context, entry, report.Type, source.Url, verify);
            if (attempt.Status == TSourceAttempt::TStatus::Done) {
                report.Source = source.Kind;
                break;
            }
            SetFailure(report, attempt.Code, attempt.Problem,
                       attempt.Status == TSourceAttempt::TStatus::Stopped ? TOutcome::Stopped
                                                                          : TOutcome::Failed);
            if (attempt.Status == TSourceAttempt::TStatus::Stopped) {
                break;  // a stop is not a reason to try elsewhere
            }
            km::DebugLog(entry.Url + " from " + source.Url +
                             " failed: " + ProblemTextGerman(attempt.Problem),
                         "ConfigUpdater");
        }
        if (attempt.Status != TSourceAttempt::TStatus::Done) {
            result.Code = report.Code;
            return result;
        }
        report.Code = 0;
        report.Problem = {};
        report.Outcome = TOutcome::Current;
        result.Archive = std::move(attempt.Archive);
        result.Digest = attempt.Digest;
        from = attempt.Folder.Dup();
        name = attempt.Name;
        // Kept for the practice's other workstations: only what is exactly
        // the package the descriptor names.
        if (haveDigest && result.Digest == entry.Sha256 && context.Cache != nullptr &&
            result.Archive.Valid()) {
            context.Cache->Store(result.Archive.Get(), result.Digest);
        }
    }
    if (context.Signed()) {
        // What a later run may install from its folder, should this one not.
        context.World.Settings.Write(ArchiveDigestRegKey(context.Project, report.Type),
                                     result.Digest);
    }
    if (!result.Archive.Valid()) {
        result.PlaceError = km::SysErrorMessage(errno) + ": " + from.PathOf(name);
    } else if (mayMove && km::Fs().Fchmod(result.Archive.Get(), 0644) != 0) {
        // Only this user may write the archive where it waits, whatever the
        // umask: a waiting archive that others may write is never installed.
        result.PlaceError = km::SysErrorMessage(errno) + ": " + from.PathOf(name);
    } else {
        result.PlaceError = Place(from, name, result.Archive.Get(), mayMove, archiveFolder,
                                  archiveName, result.PlacedCopy);
    }
    if (!result.PlaceError.empty()) {
        result.Archive.Reset();
        if (mayMove) {
            km::Fs().UnlinkAt(from.Fd(), name.c_str(), 0);
        }
    }
    lastConfigUpdate = entry.Date;
    return result;
}

}  // namespace qb
