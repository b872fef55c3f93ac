#pragma once

// Copying, moving and deleting whole trees relative to open directory
// descriptors, so that a walk never leaves the tree through a symbolic link
// met on the way. These are the building blocks of the file operations in
// FileOps.h; they report failure by their result and never throw for file
// system errors. Any thread may call them; nothing is locked, so concurrent
// changes to the same trees give undefined (but contained) results.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace km {

// Copies the entry srcParent/srcName to dstParent/dstName:
// - a regular file replaces an existing file or link of that name as
//   CopyFileAt does and gets the source's permission bits (without
//   set-uid/set-gid) and times;
// - a directory is merged into an existing directory (or a link to one),
//   which keeps its own permission bits and times, or created when missing
//   and then given the source's permission bits and times once its content
//   is copied; hidden entries are copied like any other;
// - a symbolic link is copied as a link (its target is never read).
// Other entry types fail. A failure does not stop the walk: the remaining
// entries are still copied. True when everything was copied.
bool CopyEntryAt(int srcParent, const char* srcName, int dstParent, const char* dstName);

// Moves srcParent/srcName to dstParent/dstName with rename(2); an existing
// directory at the destination is merged into (entries moved one by one,
// existing files replaced), and an entry on another file system is copied
// with CopyEntryAt and then deleted. True when everything was moved.
bool MoveEntryAt(int srcParent, const char* srcName, int dstParent, const char* dstName);

// Deletes parent/name: a directory with everything in it (made writable
// where needed, so read-only content goes too), anything else as one entry.
// A symbolic link is removed as an entry and never followed. A failure does
// not stop the walk. True when parent/name is gone.
bool DeleteEntryAt(int parent, const char* name);

// Copies the bytes of the regular file open as srcFd to dstParent/dstName
// with permission bits mode and the times of srcFd. The copy is written to a
// new file in dstParent and put in place in one step (TStagedFile): an
// existing file or link of that name is replaced, never written into, so
// whoever has the old file open or mapped keeps it whole, other hard links
// of it keep the old content, and a failed copy leaves it unchanged. The new
// file belongs to the caller. With replaceExisting false an existing
// destination is an error (EEXIST); an existing destination that is the
// source file itself (another spelling or hard link) is refused (EINVAL).
// Returns 0 or an errno value.
int CopyFileAt(int srcFd, int dstParent, const char* dstName, mode_t mode, bool replaceExisting);

// Appends the names in the directory open as dirFd ("." and ".." left out;
// with accept, only the names it accepts) to names. The whole directory is
// read before this returns, so the caller may change it afterwards. False
// when the directory cannot be read.
bool ListNames(int dirFd, std::vector<std::string>& names,
               const std::function<bool(const char*)>& accept = {});

// The directory part of path (".", "/" or everything before the last "/")
// and its last component. path must not end in "/".
struct TPathSplit {
    std::string Parent;
    std::string Name;
};
TPathSplit SplitPath(const std::string& path);

}  // namespace km
