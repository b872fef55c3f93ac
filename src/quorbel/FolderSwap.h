#pragma once

// Replacing a configuration folder as a whole without ever leaving it empty
// or half replaced.
//
// The new folder and the old one change places in one step
// (renameat2 RENAME_EXCHANGE between the held working folder and the held
// parent), so at every instant the target is the old folder or the new one,
// complete; the old one is then in the working folder and goes with it.
// Where the file system cannot exchange, the old folder first moves aside to
// "<target>.~qbold", then the new folder moves into its place, and only then
// the old one is deleted. Both moves are renames, so a process killed at any
// instant leaves one of these states:
//   target old,  no aside           -> nothing happened yet
//   no target,   aside old          -> killed between the moves
//   target new,  aside old (maybe partly deleted) -> the swap is complete
// RecoverFolderSwap() turns each into a clean state: the old folder goes back
// in the second case, the aside folder is deleted in the third.

#include <string>

#include "common/files/Dir.h"

namespace qb {

// The name the old folder has while the new one moves in.
std::string FolderSwapAsideName(const std::string& targetName);

// Puts the folder newName of the held folder from in the place of
// targetName in the held folder parent (one file system). A link standing
// at targetName is replaced as an entry, never followed. Returns false, with
// the target as it was, when newName is not a folder or cannot be moved into
// place; error (when given) then says which path failed and why.
bool ReplaceFolder(const km::TDir& from, const std::string& newName, const km::TDir& parent,
                   const std::string& targetName, std::string* error = nullptr);

// The same by path (newFolder and targetDir with or without trailing "/").
bool ReplaceFolder(const std::string& newFolder, const std::string& targetDir,
                   std::string* error = nullptr);

// Finishes or undoes a swap that a killed process left behind (see above).
void RecoverFolderSwap(const km::TDir& parent, const std::string& targetName);
void RecoverFolderSwap(const std::string& targetDir);

}  // namespace qb
