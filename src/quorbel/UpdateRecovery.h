#pragma once

// What a killed update run may leave in the product's folders, and how the
// next run cleans it up before it does anything else (while it holds the
// update lock):
// - an interrupted copy into the installation folder (or an install
//   package's working folder): rolled back, or its backup deleted when it had
//   completed (CopyInTransaction.h); a journal naming any other folder is set
//   aside;
// - an interrupted replacement of the dev or partner folder: the old folder
//   goes back, or the one moved aside is deleted (FolderSwap.h);
// - working folders "~qb" + five digits that no live run holds: deleted;
// - a package archive copied in from another file system and not complete
//   (km::CopyPartName): deleted.
// A package archive that was waiting stays and is installed by the run's
// local-archive step.

#include "common/files/Dir.h"
#include "quorbel/CopyInTransaction.h"

namespace qb {

// configDir and installDir are the held folders (either may be invalid);
// mayWrite says which journal targets may be written.
void RecoverInterruptedUpdate(const km::TDir& configDir, const km::TDir& installDir,
                              const TCopyInTargetFilter& mayWrite);

// What killed runs of this user left in the held private temporary folder:
// "~qb" working folders that no live run holds are deleted, "~qo" folders of
// install packages older than a day (their follow-up program has long
// ended), and partial downloads older than a week.
void RemoveStaleWorkingFolders(const km::TDir& privateTemp);

}  // namespace qb
