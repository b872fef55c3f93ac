#include "quorbel/PackageCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "common/base/KmDebug.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "quorbel/LocalArchive.h"
#include "quorbel/PackageDigest.h"

namespace qb {
namespace {

constexpr const char* kFolder = "~qbcache";
constexpr const char* kSuffix = ".zip";
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

km::TUniqueFd TPackageCache::Lookup(const std::string& digest) {
    if (!Folder(false).Valid() || digest.size() != 64) {
        return {};
    }
    const std::string name = digest + kSuffix;
    km::TUniqueFd entry = OpenTrustedArchive(fFolder, name);
    if (!entry.Valid()) {
        return {};
    }
    if (DigestOfFile(entry.Get()) != digest) {
        km::DebugWarning("cache entry " + fFolder.PathOf(name) + " set aside: damaged",
                         "PackageCache");
        km::Fs().RenameAt(fFolder.Fd(), name.c_str(), fFolder.Fd(), (name + ".~qbrefused").c_str(),
                          0);
        return {};
    }
    return entry;
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
