#pragma once

// Copying a package's content into a product folder so that a failure, or a
// process killed half-way, never leaves the folder half patched.
//
// Every file the copy replaces first moves (renames) into a backup folder
// inside the target, "<target>/.~qbbackup", and every step is written to a
// journal before it is taken: "D dir" (folder created), "A file" (file
// added), "R file" (file replaced, old one in the backup). A failure rolls the
// steps back in reverse order. The journal lives where the next run finds it:
// the update puts it into the target folder itself (the installation folder,
// which only its owner may write), and older runs left it in the
// configuration folder:
//   "~qbcopyin.journal" present      -> the copy never completed: roll back
//   "~qbcopyin.journal.done" present -> it completed: delete the backup
// Renaming the journal to ".done" is the moment the copy counts as done.
// This protects against a crashed or killed process, not against power loss
// (nothing is flushed to the disk).
//
// The configuration folder is shared by the product's users, so a journal
// found there is not trusted: it is acted on only when it is a regular file
// (not a link) of this user that nobody else may write, no live copy holds it
// (a copy holds its journal with flock), its target is
// one that mayWrite accepts, its backup is that target's own backup folder
// and its steps name paths below the target. Any other journal is set aside
// (renamed to "~qbcopyin.journal.refused", with a debug log entry) and
// nothing it names is touched. Root's journal, seen by another user, stays as
// it is for root's next run, and that user's copy-in refuses to start. The
// journal is created anew (never written through an existing entry), mode
// 0600.

#include <functional>
#include <string>

namespace qb {

// Copies the content of sourceDir into targetDir (both existing folders),
// merging folders and replacing files; files are moved out of sourceDir
// where one rename does it. journalDir may be empty (no crash recovery then,
// but a failure still rolls back). Returns false, with targetDir as it was,
// when anything fails: a file or folder that cannot be written, a package
// folder where the target has a file (or the other way round), or a link in
// the target where the package has a folder (writing through it could reach
// outside the product's folders). error (when given) then says which path
// failed and why.
bool CopyInWithRollback(const std::string& sourceDir, const std::string& targetDir,
                        const std::string& journalDir, std::string* error = nullptr);

// Whether a journal's target (without trailing "/") may be written.
using TCopyInTargetFilter = std::function<bool(const std::string& targetDir)>;

// Rolls back or completes a copy that a killed process left in journalDir.
void RecoverCopyIn(const std::string& journalDir, const TCopyInTargetFilter& mayWrite);

}  // namespace qb
