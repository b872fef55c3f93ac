#include "quorbel/SourceFetch.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "common/base/SysError.h"
#include "common/crypto/Crypto.h"
#include "common/files/FileSystem.h"
#include "quorbel/DescriptorFetch.h"
#include "quorbel/PackageDigest.h"
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

TSourceAttempt Failed(int32_t code, TProblem problem,
                      TSourceAttempt::TStatus status = TSourceAttempt::TStatus::Failed) {
    TSourceAttempt attempt;
    attempt.Status = status;
    attempt.Code = code;
    attempt.Problem = std::move(problem);
    return attempt;
}

}  // namespace

TSourceAttempt FetchFromSource(const TRunContext& context, const TConfigInfoXmlData& entry,
                               const std::string& type, const std::string& url, bool verify) {
    // A download an earlier run left half done is continued; where that
    // cannot be kept, the run's own working folder takes it.
    auto held = std::make_unique<TPartialDownload>(
        context.Folders.PrivateTemp(),
        PartialDownloadKey(context.Project, type, url,
                           !entry.Sha256.empty() ? entry.Sha256 : entry.Date));
    TPartialDownload& partial = *held;
    const km::TDir& downloads = partial.Usable() ? partial.Folder() : context.DownloadDir.Dir();
    const std::string localName = partial.Usable() ? partial.Name() : PackageFileName(url);
    // The digest is computed as the package arrives: no second pass over it,
    // unless the body did not arrive in one piece from its start. Every
    // build keeps it, to know the package again should it come back.
    km::TSha256 sha;
    int64_t hashed = 0;
    bool hashInOrder = true;
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
        url, downloads, localName, options, [&](int64_t count) { context.Received(count); },
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
            return Failed(-2, {TProblemId::PackageTooLarge, {url, std::to_string(signedSize)}});
        }
        return Failed(-3, FetchProblem(url, fetched),
                      fetched.Status == TFetchResult::TStatus::Stopped
                          ? TSourceAttempt::TStatus::Stopped
                          : TSourceAttempt::TStatus::Failed);
    }
    if (context.StopRequested()) {
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
        return Failed(-1002, {TProblemId::Stopped, {}}, TSourceAttempt::TStatus::Stopped);
    }
    if (fetched.Size == 0) {
        // An empty answer (a resume answered by an empty 200, say) is a
        // damaged package, not an archive without entries.
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
        return Failed(-2, {TProblemId::LibraryText, {"Unhandled Archive Type", ": " + url}});
    }
    TSourceAttempt attempt;
    attempt.Archive.Reset(downloads.OpenBeneath(localName, O_RDONLY));
    // The file as it stands counts: a body that started over, or a file cut
    // shorter than what was hashed, is hashed again from the file.
    attempt.Digest = hashInOrder && hashed == fetched.Size
                         ? sha.FinalHex()
                         : (attempt.Archive.Valid() ? DigestOfFile(attempt.Archive.Get()) : "");
    if (verify && attempt.Digest != entry.Sha256) {
        km::Fs().UnlinkAt(downloads.Fd(), localName.c_str(), 0);
        return Failed(-2, {TProblemId::DigestMismatch,
                           {url, IsSha256Hex(entry.Sha256) ? entry.Sha256 : "?", attempt.Digest}});
    }
    attempt.Status = TSourceAttempt::TStatus::Done;
    attempt.Folder = downloads.Dup();
    attempt.Name = localName;
    attempt.Partial = std::move(held);
    return attempt;
}

}  // namespace qb
