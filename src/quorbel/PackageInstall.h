#pragma once

// Installing one package archive into its type's folder: unpacked into a
// new working folder, then its type folder either replaces the target as a
// whole (FolderSwap.h) or its content is copied into the target with a
// journal (CopyInTransaction.h). The product is the old one or the new one,
// complete, whatever fails.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/files/Dir.h"
#include "common/files/WorkDir.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/RunContext.h"

namespace qb {

// Where one type's package waits and where it goes.
struct TTypeFolders {
    // The archive's folder (may be invalid: not made), its path and the
    // archive's name.
    km::TDir Archive;
    std::string ArchivePath;
    std::string ArchiveName;
    // The target folder, held when it exists, and its path.
    km::TDir Target;
    std::string TargetPath;
};

// A new working folder where a package of type is unpacked before it is put
// in place (throws km::Exception when none can be made).
km::TWorkDir NewUnpackFolder(const TRunContext& context, const TUpdateType& type);

// Puts the package unpacked in work (its folder type.Name) in place: the
// target replaced as a whole (replaceAll) or the content copied in with a
// journal. 0, -7 or -8; failures set report's problem.
int32_t PlaceUnpacked(const TRunContext& context, const km::TWorkDir& work, const TUpdateType& type,
                      const TTypeFolders& folders, bool replaceAll, TTypeReport& report);

// UpdateFromConfigZip: installs the archive open as archiveFd (invalid:
// missing, for the reason placeError gives) of type: 0, -2, -6, -7 or -8;
// failures set report's problem. A copy-in type's archive is deleted
// afterwards when it is still the file that was unpacked, or the copy of it
// that placedCopy (may be null) names.
int32_t UpdateFromConfigZip(const TRunContext& context, int archiveFd,
                            const std::string& placeError, const TUpdateType& type,
                            const TTypeFolders& folders, const std::string& password,
                            TTypeReport& report, const struct stat* placedCopy = nullptr);

}  // namespace qb
