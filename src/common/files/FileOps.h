#pragma once

// File operations of the update engine: tree copy, move, delete and rename,
// directory chains, a move that falls back to copy and delete, and existence
// tests. Paths are native ones ("/" is the delimiter).
//
// Every function reports failure through its Boolean result and leaves
// partial work in place; only ForceDirectories throws, for an empty path.
// Any thread may call them; nothing is locked.

#include <optional>
#include <string>

#include "common/base/KmException.h"

namespace km {

// An input/output error of our own file operations.
class EInOutError : public Exception {
  public:
    using Exception::Exception;
    KM_EXCEPTION_CLASS_NAME(EInOutError)
};

enum TShellFileOp { FO_MOVE = 1, FO_COPY = 2, FO_DELETE = 3, FO_RENAME = 4 };

// One copy, move, delete or rename of a file, a directory or a pattern.
//
// Does nothing and returns false when source is empty, when operation is not
// FO_DELETE and target is empty, when source and target are equal ignoring
// the case of ASCII letters (compared before one trailing "/" is removed from
// each), or when the last component of source is "." or "..". A last source
// component with "*" or "?" is a pattern over the entries of its folder ("*"
// and "*.*" match every entry, hidden ones included; other patterns match
// names ignoring case).
// - FO_COPY: a pattern copies every matching entry into the directory target,
//   which is created when missing. A single source is copied into target when
//   that is an existing directory, else to target itself. Directories are
//   copied recursively and merged into existing ones (which keep their own
//   mode and times), existing files are replaced as a whole (never written
//   into; a copy onto the source file itself fails), missing directories
//   are created; permission bits (without set-uid/set-gid) and modification
//   times are kept; links are copied as links.
// - FO_MOVE: the same placement, moving instead of copying (rename where
//   possible, merge into existing directories, copy and delete across file
//   systems).
// - FO_DELETE: deletes the source entry or every matching entry; target is
//   not used.
// - FO_RENAME: renames source to target; fails when target exists.
// showDialogs is accepted for the callers' sake: nothing is ever shown.
// True only when everything succeeded.
bool ShellFileOperation(const std::string& source, const std::string& target,
                        TShellFileOp operation, bool showDialogs);

// Deletes the directory path with everything in it; read-only entries go too.
// Symbolic links inside are removed as entries and never followed. A failure
// does not stop the walk. True when the directory itself is gone; false, with
// nothing deleted, for an empty path, a path that is not a directory (a link
// to one included), a path whose last component is "." or "..", and the root.
bool DeleteDirectoryTree(const std::string& path);

// Creates path and every missing directory above it. True when path exists as
// a directory afterwards. Throws EInOutError("Unable to create directory") for
// an empty path.
bool ForceDirectories(const std::string& path);

// The suffix of the name under which MoveFileOrCopy and RenameFile write a
// copy until it is complete. Only a process killed during the copy leaves
// such a file behind.
inline constexpr const char* kCopyPartSuffix = ".~kmcopy";

// The name under which a copy of path is written until it is complete: path
// + kCopyPartSuffix, with the last component shortened where it would exceed
// the file system's name limit. Recovery looks for the same name.
std::string CopyPartName(const std::string& path);

// Moves a file or directory with rename(2); with replaceExisting false an
// existing target is not replaced. When that fails and source is a regular
// file, copies it (into target when target is an existing directory, else to
// target; an existing destination only with replaceExisting) keeping mode and
// times, then deletes source. The copy takes the destination's name only when
// complete: a failed copy (a full disk) leaves the destination as it was. A
// directory is never copied: across file systems the move fails and nothing
// changes.
bool MoveFileOrCopy(const std::string& source, const std::string& target, bool replaceExisting);

// Deletes one entry that is not a directory (a link to a directory is removed
// as a link). False when the deletion fails.
bool DeleteFile(const std::string& path);

// The whole content of the file path, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Renames or moves oldName to newName; fails when newName exists. A regular
// file may go to another file system (copied as MoveFileOrCopy does, then
// deleted), a directory may not.
bool RenameFile(const std::string& oldName, const std::string& newName);

// Whether path names an existing directory (links followed).
bool DirectoryExists(const std::string& path);

// Whether path is not empty and names an existing entry that is not a
// directory (a dangling link counts as a file).
bool FileExists(const std::string& path);

}  // namespace km
