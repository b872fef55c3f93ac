#include "quorbel/PackageCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/crypto/Crypto.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "quorbel/LocalArchive.h"
#include "quorbel/PackageDigest.h"

namespace qb {
namespace {

constexpr const char* kFolder = "~qbcache";
constexpr const char* kSuffix = ".zip";
// Room the cache leaves free on the data folder's disk beyond twice a package.
constexpr uint64_t kFreeSpaceMargin = uint64_t{64} << 20;
// Seconds after which a staged entry is taken as left behind.
constexpr time_t kStagedAge = 3600;

bool IsEntryName(const std::string& name) {
    return name.size() == 64 + 4 && name.ends_with(kSuffix) &&
           name.find_first_not_of("0123456789abcdef") == 64;
}

}  // namespace

int64_t PackageCacheBound(ISettingsStore& settings) {
    const std::string text = settings.Read("packagecache.maxmb", "");
    int64_t mib = kDefaultPackageCacheMiB;
    if (!text.empty() && text.size() < 9 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
        mib = std::stoll(text);
    }
    return mib << 20;
}

TPackageCache::TPackageCache(const km::TDir& config, int64_t maxBytes)
    : fConfig(config.Dup()), fMaxBytes(maxBytes) {}

const km::TDir& TPackageCache::Folder(bool create) {
    if (fFolder.Valid() || !fConfig.Valid() || fMaxBytes <= 0) {
        return fFolder;
    }
    fFolder = OpenSharedFolder(fConfig, kFolder, create);
    struct stat st {};
    struct stat parent {};
    // Readable, and writable for the product's users as the data folder is:
    // each workstation's run adds what it downloaded.
    if (create && fFolder.Valid() && fFolder.Stat(st) == 0 && fConfig.Stat(parent) == 0 &&
        (st.st_mode & 07777) != ((parent.st_mode & 02070) | 0755)) {
        km::Fs().Fchmod(fFolder.Fd(), (parent.st_mode & 02070) | 0755);
    }
    return fFolder;
}

km::TUniqueFd TPackageCache::Lookup(const std::string& digest, const km::TDir& into,
                                    const std::string& copyName) {
    if (!Folder(false).Valid() || digest.size() != 64 || !into.Valid()) {
        return {};
    }
    const std::string name = digest + kSuffix;
    const km::TUniqueFd entry = OpenTrustedArchive(fFolder, name);
    if (!entry.Valid()) {
        return {};
    }
    // The entry may lie on a share whose owners the client cannot see: what
    // is checked and used is this run's own copy, hashed as it is made.
    km::TUniqueFd copy(into.OpenBeneath(copyName, O_RDWR | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR));
    if (!copy.Valid()) {
        return {};
    }
    km::TSha256 sha;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = km::Fs().Read(entry.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 ||
            (n > 0 && km::WriteAll(copy.Get(), buffer.data(), static_cast<size_t>(n)) != 0)) {
            copy.Reset();
            km::Fs().UnlinkAt(into.Fd(), copyName.c_str(), 0);
            return {};
        }
        if (n == 0) {
            break;
        }
        sha.Update(buffer.data(), static_cast<size_t>(n));
    }
    if (sha.FinalHex() != digest) {
        copy.Reset();
        km::Fs().UnlinkAt(into.Fd(), copyName.c_str(), 0);
        km::DebugWarning("cache entry " + fFolder.PathOf(name) + " set aside: damaged",
                         "PackageCache");
        km::Fs().RenameAt(fFolder.Fd(), name.c_str(), fFolder.Fd(), (name + ".~qbrefused").c_str(),
                          0);
        return {};
    }
    ::lseek(copy.Get(), 0, SEEK_SET);
    return copy;
}

void TPackageCache::Store(int fd, const std::string& digest) {
    if (digest.size() != 64 || !Folder(true).Valid()) {
        return;
    }
    struct stat package {};
    if (::fstat(fd, &package) != 0) {
        return;
    }
    std::vector<std::string> names;
    km::ListNames(fFolder.Fd(), names);
    int64_t used = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (fFolder.StatAt(name, st) == 0 && S_ISREG(st.st_mode)) {
            used += st.st_size;
        }
    }
    if (used + package.st_size > fMaxBytes) {
        km::DebugLog("package " + digest + " not cached: the cache would exceed its bound",
                     "PackageCache");
        return;
    }
    // The data folder's disk is where dev and partner are unpacked too: the
    // cache never takes the room an installation needs.
    struct statvfs space {};
    if (::fstatvfs(fFolder.Fd(), &space) != 0 ||
        static_cast<uint64_t>(space.f_bavail) * space.f_frsize <
            2 * static_cast<uint64_t>(package.st_size) + kFreeSpaceMargin) {
        km::DebugLog("package " + digest + " not cached: too little free space", "PackageCache");
        return;
    }
    // Written under a staged name, in place in one step; the product's users
    // read it.
    ::lseek(fd, 0, SEEK_SET);
    km::CopyFileAt(fd, fFolder.Fd(), (digest + kSuffix).c_str(), 0644, true);
}

void TPackageCache::Prune(const std::set<std::string>& keep) {
    if (!Folder(false).Valid()) {
        return;
    }
    std::vector<std::string> names;
    km::ListNames(fFolder.Fd(), names);
    const time_t now = ::time(nullptr);
    for (const std::string& name : names) {
        if (IsEntryName(name)) {
            if (!keep.contains(name.substr(0, 64))) {
                km::DeleteEntryAt(fFolder.Fd(), name.c_str());
            }
            continue;
        }
        // Anything else is a set-aside entry or what a store left; a store
        // another workstation is making now is left alone.
        struct stat st {};
        if (fFolder.StatAt(name, st) == 0 && now - st.st_mtime > kStagedAge) {
            km::DeleteEntryAt(fFolder.Fd(), name.c_str());
        }
    }
}

}  // namespace qb
