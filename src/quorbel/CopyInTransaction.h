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
// Renaming the journal to ".done" is the moment the copy counts as done; the
// journal is flushed to the disk just before.
//
// Every folder is reached from the held target and source handles one
// component at a time, never through a link: a link in the target where the
// package has a folder fails the copy, and nothing outside the target is
// ever written, whatever is renamed or replaced meanwhile.
//
// A journal found in a folder others may write is not trusted: it is acted
// on only when it is a regular file (not a link) of this user that nobody
// else may write, no live copy holds it (a copy holds its journal with
// flock), its target is one that mayWrite accepts, its backup is that
// target's own backup folder and its steps name paths below the target. Any
// other journal is set aside (renamed to "~qbcopyin.journal.refused", with a
// debug log entry) and nothing it names is touched. Root's journal, seen by
// another user, stays as it is for root's next run, and that user's copy-in
// refuses to start. The journal is created anew (never written through an
// existing entry), mode 0600.

#include <functional>
#include <string>

#include "common/files/Dir.h"

namespace qb {

// Copies the content of the folder source into the folder target, merging
// folders and replacing files; files are moved out of source where one
// rename does it. The journal goes into journalDir (normally the target
// itself); an invalid journalDir means no journal (no crash recovery then,
// but a failure still rolls back). Returns false, with target as it was,
// when anything fails: a file or folder that cannot be written, a package
// folder where the target has a file (or the other way round), or a link in
// the target where the package has a folder. error (when given) then says
// which path failed and why.
bool CopyInWithRollback(const km::TDir& source, const km::TDir& target, const km::TDir& journalDir,
                        std::string* error = nullptr);

// The same by path; journalDir may be empty (no journal).
bool CopyInWithRollback(const std::string& sourceDir, const std::string& targetDir,
                        const std::string& journalDir, std::string* error = nullptr);

// Whether a journal's target (without trailing "/") may be written.
using TCopyInTargetFilter = std::function<bool(const std::string& targetDir)>;

// Rolls back or completes a copy that a killed process left in journalDir.
void RecoverCopyIn(const km::TDir& journalDir, const TCopyInTargetFilter& mayWrite);
void RecoverCopyIn(const std::string& journalDir, const TCopyInTargetFilter& mayWrite);

}  // namespace qb
