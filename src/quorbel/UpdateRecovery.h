#pragma once

// What a killed update run may leave in the product's configuration folder,
// and how the next run cleans it up before it does anything else (while it
// holds the update lock):
// - an interrupted copy into the installation folder: rolled back, or its
//   backup deleted when it had completed (CopyInTransaction.h);
// - an interrupted replacement of the dev or partner folder: the old folder
//   goes back, or the one moved aside is deleted (FolderSwap.h);
// - working folders "~qb" + five digits: deleted;
// - a package archive copied in from another file system and not complete
//   (km::kCopyPartSuffix): deleted.
// A package archive that was waiting stays and is installed by the run's
// local-archive step.

#include <string>

namespace qb {

void RecoverInterruptedUpdate(const std::string& configDir);

}  // namespace qb
