#pragma once

// The practice's package cache: in the shared data folder
// (<DatabaseDir>/config/~qbcache), so that the workstations of a practice,
// which share that folder, download each package once. An entry is a package
// kept under its SHA-256 ("<digest>.zip"), written under a staged name and
// renamed into place, readable by the product's users.
//
// The folder is shared ground: an entry is used only when it is a regular
// file reached without a link, owned by the running account or root and
// writable by nobody else, and then only as a private copy whose digest,
// computed as it was copied, equals the one the descriptor names. Anything else is a miss (a
// mismatching entry of this account or root is set aside); the package is
// then downloaded as without a cache. Entries the current descriptor no
// longer names are pruned, and the cache never grows beyond its bound.

#include <cstdint>
#include <set>
#include <string>

#include "common/files/Dir.h"
#include "common/files/UniqueFd.h"
#include "quorbel/UpdateWorld.h"

namespace qb {

class TPackageCache {
  public:
    // The cache in the held configuration folder config (made with the
    // first entry); maxBytes bounds its size (0: no cache).
    TPackageCache(const km::TDir& config, int64_t maxBytes);

    // The package whose SHA-256 is digest, copied from its entry into the
    // held private folder into as copyName, hashed as it is copied and
    // checked: the copy, open for reading and writing at its start; invalid
    // (and no copy) on a miss.
    km::TUniqueFd Lookup(const std::string& digest, const km::TDir& into,
                         const std::string& copyName);

    // Keeps the package open as fd (whose SHA-256 is digest) unless the cache
    // would grow beyond its bound. Failures only cost the next run a download.
    void Store(int fd, const std::string& digest);

    // Removes the entries whose digests keep does not name.
    void Prune(const std::set<std::string>& keep);

  private:
    // The cache folder, held (made when create and missing); invalid when
    // there is none.
    const km::TDir& Folder(bool create);

    km::TDir fConfig;
    km::TDir fFolder;
    int64_t fMaxBytes;
};

// The size bound of the cache: the settings value "packagecache.maxmb"
// (MiB, 0: no cache) when set, else 4096 MiB; in bytes.
inline constexpr int64_t kDefaultPackageCacheMiB = 4096;
int64_t PackageCacheBound(ISettingsStore& settings);

}  // namespace qb
