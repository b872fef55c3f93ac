#include "quorbel/MediaExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/base/SysError.h"
#include "common/files/Dir.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "common/files/WorkDir.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/MediaFetcher.h"
#include "quorbel/PackageCache.h"
#include "quorbel/PackageDigest.h"
#include "quorbel/ProductFolders.h"
#include "quorbel/RunContext.h"
#include "quorbel/SourceFetch.h"
#include "quorbel/XmlParserGuard.h"

namespace qb {
namespace {

// Copies the file name of from into to; "" or why it failed.
std::string CopyInto(const km::TDir& from, const std::string& name, const km::TDir& to,
                     const std::string& toName) {
    const km::TUniqueFd in(from.OpenBeneath(name, O_RDONLY));
    const int err =
        in.Valid() ? km::CopyFileAt(in.Get(), to.Fd(), toName.c_str(), 0644, true) : errno;
    return err == 0 ? std::string() : km::SysErrorMessage(err) + ": " + to.PathOf(toName);
}

// The package of entry, fetched as a run fetches it (cache, server, mirrors)
// and checked; Done with the package open, or why not.
TSourceAttempt FetchPackage(const TRunContext& context, const TConfigInfoXmlData& entry,
                            const std::string& type, TPackageSource& source) {
    const bool digest = IsSha256Hex(entry.Sha256);
    if (digest && context.Cache != nullptr) {
        const std::string copy = "cached-" + entry.Sha256 + ".zip";
        km::TUniqueFd cached = context.Cache->Lookup(entry.Sha256, context.DownloadDir.Dir(), copy);
        if (cached.Valid()) {
            TSourceAttempt attempt;
            attempt.Status = TSourceAttempt::TStatus::Done;
            attempt.Archive = std::move(cached);
            attempt.Digest = entry.Sha256;
            attempt.Folder = context.DownloadDir.Dir().Dup();
            attempt.Name = copy;
            source = TPackageSource::Cache;
            return attempt;
        }
    }
    std::vector<std::pair<std::string, TPackageSource>> urls{{entry.Url, TPackageSource::Server}};
    if (digest) {
        for (const std::string& mirror : entry.Mirrors) {
            urls.emplace_back(mirror, TPackageSource::Mirror);
        }
    }
    TSourceAttempt attempt;
    for (const auto& [url, kind] : urls) {
        if (context.Observer != nullptr) {
            context.Observer->FetchingFrom(type, kind);
        }
        attempt = FetchFromSource(context, entry, type, url, digest);
        if (attempt.Status != TSourceAttempt::TStatus::Failed) {
            source = kind;
            break;
        }
    }
    return attempt;
}

}  // namespace

TExportReport ExportMedia(const TRunRequest& request, const TWorld& world, const std::string& dir,
                          const std::function<bool()>& shouldStop, TRunObserver* observer) {
    const km::TFileSystemScope fileSystem(world.Files);
    const TXmlParserGuard parserGuard;
    TExportReport report;
    TProductFolders folders(world.Settings);
    km::TWorkDir work(folders.PrivateTemp(), "~qb");
    TFollowUp followUp;
    const std::function<bool()> stop = StopOrTimeLimit(request, world, shouldStop);
    TRunContext context = MakeRunContext(request, world, stop, observer, folders, work, followUp);
    TPackageCache cache(folders.Config(), PackageCacheBound(world.Settings));
    context.Cache = &cache;

    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        report.Problem = {TProblemId::Message, {km::SysErrorMessage(errno) + ": " + dir}};
        return report;
    }
    // The folder may lie in a shared one (/tmp): it is written only when it
    // is no link and belongs to this account or root, so that nobody else
    // can have put it there for root to fill.
    const km::TDir media = km::TDir::Open(dir, true);
    struct stat folder {};
    if (!media.Valid() || media.Stat(folder) != 0) {
        report.Problem = {TProblemId::Message, {km::SysErrorMessage(errno) + ": " + dir}};
        return report;
    }
    if (folder.st_uid != ::geteuid() && folder.st_uid != 0) {
        report.Problem = {TProblemId::Message,
                          {"The folder " + dir + " belongs to another account"}};
        return report;
    }

    // Until the new index is written, the folder is no export.
    km::Fs().UnlinkAt(media.Fd(), kMediaIndexName, 0);
    const TDescriptor descriptor = DownloadConfigInfoXml(context, false);
    if (!descriptor.Xml) {
        report.Stopped = descriptor.Missing == TOutcome::Stopped;
        report.NoDescriptor = !report.Stopped;
        report.Problem = descriptor.Problem;
        return report;
    }
    const std::string descriptorUrl = context.ServerPath + "configinfo.xml";
    const std::string signatureName = "configinfo.xml.sig";
    if (!context.Signed()) {
        // An unsigned build passes the signature on when the server has one,
        // for the signed builds that read the same media.
        const TFetchResult fetched =
            world.Fetcher.Fetch(descriptorUrl + ".sig", work.Dir(), signatureName,
                                context.FetchOptions(kMaxConfigInfoXmlSize), {}, stop);
        if (fetched.Status == TFetchResult::TStatus::Stopped) {
            report.Stopped = true;
            report.Problem = {TProblemId::Stopped, {}};
            return report;
        }
    }
    struct stat st {};
    report.Signature = work.Dir().StatAt(signatureName, st) == 0 && S_ISREG(st.st_mode);

    std::string index;
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.InstallerModeOnly && !request.InstallerMode) {
            continue;
        }
        const TConfigInfoXmlData entry = GetConfigInfoXmlData(context, *descriptor.Xml, type.Name);
        const std::string file = PackageFileName(entry.Url);
        if (entry.Date.empty() || entry.Url.empty() || file.empty()) {
            continue;
        }
        if (context.Signed() && !IsSha256Hex(entry.Sha256)) {
            report.Problem = {TProblemId::DigestMismatch, {entry.Url, "?", "-"}};
            return report;
        }
        if (observer != nullptr) {
            observer->TypeStarted(type.Name);
        }
        TExportReport::TPackage package{type.Name, std::string(type.Name) + "-" + file, 0,
                                        TPackageSource::None};
        const TSourceAttempt attempt = FetchPackage(context, entry, type.Name, package.Source);
        if (attempt.Status != TSourceAttempt::TStatus::Done) {
            report.Stopped = attempt.Status == TSourceAttempt::TStatus::Stopped;
            report.Problem = attempt.Problem;
            return report;
        }
        ::lseek(attempt.Archive.Get(), 0, SEEK_SET);
        const int err =
            km::CopyFileAt(attempt.Archive.Get(), media.Fd(), package.File.c_str(), 0644, true);
        if (attempt.Folder.Valid()) {
            km::Fs().UnlinkAt(attempt.Folder.Fd(), attempt.Name.c_str(), 0);
        }
        if (err != 0) {
            report.Problem = {TProblemId::Message,
                              {km::SysErrorMessage(err) + ": " + media.PathOf(package.File)}};
            return report;
        }
        if (::fstat(attempt.Archive.Get(), &st) == 0) {
            package.Size = st.st_size;
        }
        index += entry.Url + "\t" + package.File + "\n";
        report.Packages.push_back(package);
    }

    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"configinfo.xml", "configinfo.xml"},
          {signatureName, signatureName}}) {
        if (from == signatureName && !report.Signature) {
            km::Fs().UnlinkAt(media.Fd(), to.c_str(), 0);  // not a stale one of an older export
            continue;
        }
        if (const std::string error = CopyInto(work.Dir(), from, media, to); !error.empty()) {
            report.Problem = {TProblemId::Message, {error}};
            return report;
        }
    }
    // The index last: an export cut short before it is never taken for one.
    const std::string indexPart = std::string(kMediaIndexName) + ".new";
    const km::TUniqueFd out(work.Dir().OpenBeneath(indexPart, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    const int err = out.Valid() ? km::WriteAll(out.Get(), index.data(), index.size()) : errno;
    if (err != 0) {
        report.Problem = {TProblemId::Message,
                          {km::SysErrorMessage(err) + ": " + work.Dir().PathOf(indexPart)}};
        return report;
    }
    if (const std::string error = CopyInto(work.Dir(), indexPart, media, kMediaIndexName);
        !error.empty()) {
        report.Problem = {TProblemId::Message, {error}};
    }
    return report;
}

}  // namespace qb
