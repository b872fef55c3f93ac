#pragma once

// Replacing a configuration folder as a whole without ever leaving it empty
// or half replaced.
//
// The old folder first moves aside to "<target>.~qbold", then the new folder
// moves into its place, and only then the old one is deleted. Both moves are
// renames, so a process killed at any instant leaves one of these states:
//   target old,  no aside           -> nothing happened yet
//   no target,   aside old          -> killed between the moves
//   target new,  aside old (maybe partly deleted) -> the swap is complete
// RecoverFolderSwap() turns each into a clean state: the old folder goes back
// in the second case, the aside folder is deleted in the third.

#include <string>

namespace qb {

// The name the old folder has while the new one moves in.
std::string FolderSwapAsideName(const std::string& targetDir);

// Puts newFolder in the place of targetDir (with or without trailing "/").
// Returns false, with targetDir as it was, when newFolder does not exist or
// cannot be moved into place; error (when given) then says which path failed
// and why. Both must be on one filesystem.
bool ReplaceFolder(const std::string& newFolder, const std::string& targetDir,
                   std::string* error = nullptr);

// Finishes or undoes a swap that a killed process left behind (see above).
void RecoverFolderSwap(const std::string& targetDir);

}  // namespace qb
