#pragma once

// Downloading one type's package: decided from the descriptor's entry and
// the recorded date, downloaded into the run's working folder, in a signed
// build checked against its signed digest, then put where it waits for its
// installation (the type's archive folder).

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/files/Dir.h"
#include "common/files/UniqueFd.h"
#include "quorbel/ConfigInfoXml.h"
#include "quorbel/RunContext.h"

namespace qb {

struct TDownload {
    // 0 (downloaded), -1001 (nothing new), -3 (failed or stopped), -1002
    // (stopped after it completed), -2 (not the package the vendor signed).
    int32_t Code = 0;
    // The downloaded package, open: what was checked is what gets unpacked.
    // Invalid when it did not reach its place (PlaceError says why).
    km::TUniqueFd Archive;
    std::string PlaceError;
    // Where the package went to another file system, the copy that waits in
    // its folder (device and inode; zero otherwise): the unpacked file is the
    // original, and either may be deleted afterwards.
    struct stat PlacedCopy {};
    // The package's SHA-256 (lower-case hex), computed as it arrived.
    std::string Digest;
};

// DownloadConfigZipIfNew: the package of the entry of report.Type: on success
// the package lies at archiveName in archiveFolder (when that is valid) and
// lastConfigUpdate holds the entry's date. The package comes from the
// practice's cache when it holds it, else from the first of its sources that
// yields it (SourcesOf: the practice's own source, the server, the mirrors;
// offline media instead of all of them); report.Source says which. Failures
// set report's problem.
TDownload DownloadConfigZipIfNew(const TRunContext& context, const TConfigInfoXmlData& entry,
                                 const km::TDir& archiveFolder, const std::string& archiveName,
                                 std::string& lastConfigUpdate, TTypeReport& report);

// The product's value (machine hive, below the product's key) that names the
// practice's own package source: a web server on the practice's network
// holding the packages under their file names, tried before the vendor's.
inline constexpr const char* kPackageSourceValue = "PackageSource";

// The registry value that keeps a signed package's verified digest until it
// is installed.
std::string ArchiveDigestRegKey(const std::string& project, const std::string& type);

}  // namespace qb
