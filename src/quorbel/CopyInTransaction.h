#pragma once

// Copying a package's content into a product folder so that a failure, or a
// process killed half-way, never leaves the folder half patched.
//
// Every file the copy replaces first moves (renames) into a backup folder
// inside the target, "<target>/.~qbbackup", and every step is written to a
// journal before it is taken: "D dir" (folder created), "A file" (file
// added), "R file" (file replaced, old one in the backup). A failure rolls the
// steps back in reverse order. The journal lives in a folder the product owns
// (the configuration folder) so that the next run finds it:
//   "~qbcopyin.journal" present      -> the copy never completed: roll back
//   "~qbcopyin.journal.done" present -> it completed: delete the backup
// Renaming the journal to ".done" is the moment the copy counts as done.
// This protects against a crashed or killed process, not against power loss
// (nothing is flushed to the disk).

#include <string>

namespace qb {

// Copies the content of sourceDir into targetDir (both existing folders),
// merging folders and replacing files; files are moved out of sourceDir
// where one rename does it. journalDir may be empty (no crash recovery then,
// but a failure still rolls back). Returns false, with targetDir as it was,
// when anything fails: a file or folder that cannot be written, a package
// folder where the target has a file (or the other way round), or a link in
// the target where the package has a folder (writing through it could reach
// outside the product's folders).
bool CopyInWithRollback(const std::string& sourceDir, const std::string& targetDir,
                        const std::string& journalDir);

// Rolls back or completes a copy that a killed process left in journalDir.
void RecoverCopyIn(const std::string& journalDir);

}  // namespace qb
