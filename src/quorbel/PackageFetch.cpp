#include "quorbel/PackageFetch.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "common/base/SysError.h"
#include "common/crypto/Crypto.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/PartialDownload.h"

namespace qb {
namespace {

// Room kept free on the disk a package downloads to.
constexpr int64_t kFreeSpaceMargin = int64_t{64} << 10;

// A signed size: decimal digits only.
std::optional<int64_t> SizeOf(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(text);
}

// How large a package without a signed size may grow: the build's cap, and
// no more than the disk it lands on can hold.
int64_t UnsignedLimit(const TRunContext& context, const km::TDir& folder) {
    int64_t limit = context.Request.Settings.MaxPackageBytes;
    struct statvfs disk {};
    if (::fstatvfs(folder.Fd(), &disk) == 0) {
        const auto free = static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize);
        limit = std::min(limit, std::max<int64_t>(free - kFreeSpaceMargin, 1));
    }
    return limit;
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Moves the downloaded file into its folder; across file systems a copy is
// put in place in one step (and copy tells which file it is). "" or why it
// failed.
std::string Place(const km::TDir& from, const std::string& name, int fd, const km::TDir& folder,
                  const std::string& archiveName, struct stat& copy) {
    if (!folder.Valid()) {
        return km::SysErrorMessage(errno != 0 ? errno : ENOENT) + ": " + folder.Path();
    }
    if (km::Fs().RenameAt(from.Fd(), name.c_str(), folder.Fd(), archiveName.c_str(), 0) == 0) {
        return {};
    }
    if (errno != EXDEV) {
        return km::SysErrorMessage(errno) + ": " + folder.PathOf(archiveName);
    }
    if (const int err = km::CopyFileAt(fd, folder.Fd(), archiveName.c_str(), 0644, true);
        err != 0) {
        return km::SysErrorMessage(err) + ": " + folder.PathOf(archiveName);
    }
    folder.StatAt(archiveName, copy);
    km::Fs().UnlinkAt(from.Fd(), name.c_str(), 0);  // the open original is what gets unpacked
    return {};
}

}  // namespace

std::string PackageFileName(const std::string& url) {
    const std::string name = km::ExtractUrlFileName(url);
    return name == "." || name == ".." ? std::string() : name;
}

std::string ArchiveDigestRegKey(const std::string& project, const std::string& type) {
    return "archivedigest" + LastConfigUpdateRegKey(project, type).substr(16);
}

std::string DigestOfFile(int fd) {
    km::TSha256 sha;
    std::vector<char> buffer(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t n = km::Fs().Pread(fd, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {};
        }
        if (n == 0) {
            return sha.FinalHex();
        }
        sha.Update(buffer.data(), static_cast<size_t>(n));
        at += n;
    }
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
    const std::string fileName = PackageFileName(entry.Url);
    if (fileName.empty()) {
        result.Code = -1001;
        return result;
    }
    report.Url = entry.Url;
    if (context.Signed() && !IsSha256Hex(entry.Sha256)) {
        SetFailure(report, -2, {TProblemId::DigestMismatch, {entry.Url, "?", "-"}});
        result.Code = -2;
        return result;
    }
    // The digest is computed as the package arrives: no second pass over it,
    // unless the body did not arrive in one piece from its start. Every
    // build keeps it, to know the package again should it come back.
    km::TSha256 sha;
    int64_t hashed = 0;
    bool hashInOrder = true;
    // A download an earlier run left half done is continued; where that
    // cannot be kept, the run's own working folder takes it.
    TPartialDownload partial(context.Folders.PrivateTemp(),
                             PartialDownloadKey(context.Project, report.Type, entry.Url,
                                                !entry.Sha256.empty() ? entry.Sha256 : entry.Date));
    const km::TDir& downloads = partial.Usable() ? partial.Folder() : context.DownloadDir.Dir();
    const std::string localName = partial.Usable() ? partial.Name() : fileName;
    // 0: no signed size.
    const int64_t signedSize = context.Signed() ? SizeOf(entry.Size).value_or(0) : 0;
    TFetchOptions options =
        context.FetchOptions(signedSize > 0 ? signedSize : UnsignedLimit(context, downloads));
    options.Resume = partial.Usable() ? &partial.State() : nullptr;
    options.Observer = [&](int64_t offset, const char* data, size_t size) {
        if (offset == 0) {
            sha.Reset();
            hashed = 0;
            hashInOrder = true;
        }
        hashInOrder = hashInOrder && offset == hashed;
        sha.Update(data, size);
        hashed += static_cast<int64_t>(size);
    };
    const TFetchResult fetched = context.World.Fetcher.Fetch(
        entry.Url, downloads, localName, options, [&](int64_t count) { context.Received(count); },
        context.ShouldStop);
    // Kept for the next run: what a stop or a broken line ended, never what
    // the server refused or what grew too large.
    const bool interrupted = fetched.Status == TFetchResult::TStatus::Stopped ||
                             (fetched.Status == TFetchResult::TStatus::Failed &&
                              !fetched.TooLarge && fetched.HttpStatus == 0);
    if (!interrupted) {
        partial.State() = {};
    }
    partial.Finish(fetched.Status == TFetchResult::TStatus::Done);
    if (fetched.Status != TFetchResult::TStatus::Done) {
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
        if (fetched.TooLarge && signedSize > 0) {
            SetFailure(report, -2,
                       {TProblemId::PackageTooLarge, {entry.Url, std::to_string(signedSize)}});
            result.Code = -2;
            return result;
        }
        SetFailure(report, -3, FetchProblem(entry.Url, fetched),
                   fetched.Status == TFetchResult::TStatus::Stopped ? TOutcome::Stopped
                                                                    : TOutcome::Failed);
        result.Code = -3;
        return result;
    }
    if (context.StopRequested()) {
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
        SetFailure(report, -1002, {TProblemId::Stopped, {}}, TOutcome::Stopped);
        result.Code = -1002;
        return result;
    }
    if (fetched.Size == 0) {
        // An empty answer (a resume answered by an empty 200, say) is a
        // damaged package, not an archive without entries.
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
        SetFailure(report, -2,
                   {TProblemId::LibraryText, {"Unhandled Archive Type", ": " + entry.Url}});
        result.Code = -2;
        return result;
    }
    km::TUniqueFd archive(downloads.OpenBeneath(localName, O_RDONLY));
    // The file as it stands counts: a body that started over, or a file cut
    // shorter than what was hashed, is hashed again from the file.
    result.Digest = hashInOrder && hashed == fetched.Size
                        ? sha.FinalHex()
                        : (archive.Valid() ? DigestOfFile(archive.Get()) : "");
    if (context.Signed()) {
        if (result.Digest != entry.Sha256) {
            km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
            SetFailure(report, -2,
                       {TProblemId::DigestMismatch, {entry.Url, entry.Sha256, result.Digest}});
            result.Code = -2;
            return result;
        }
        // What a later run may install from its folder, should this one not.
        context.World.Settings.Write(ArchiveDigestRegKey(context.Project, report.Type),
                                     result.Digest);
    }
    if (!archive.Valid()) {
        result.PlaceError = km::SysErrorMessage(errno) + ": " + downloads.PathOf(localName);
    } else if (km::Fs().Fchmod(archive.Get(), 0644) != 0) {
        // Only this user may write the archive where it waits, whatever the
        // umask: a waiting archive that others may write is never installed.
        result.PlaceError = km::SysErrorMessage(errno) + ": " + downloads.PathOf(localName);
    } else {
        result.PlaceError = Place(downloads, localName, archive.Get(), archiveFolder, archiveName,
                                  result.PlacedCopy);
    }
    if (result.PlaceError.empty()) {
        result.Archive = std::move(archive);
    } else {
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
    }
    lastConfigUpdate = entry.Date;
    return result;
}

}  // namespace qb
