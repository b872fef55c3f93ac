#pragma once

// The directory an archive is unpacked into. Every folder and file is reached
// from the directory's own descriptor one component at a time without
// following links, so nothing is ever written outside it, not even through a
// link that already lies inside. One thread per object.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/files/UniqueFd.h"

namespace km {

// The path below the target for a stored entry name: "\" counts as "/",
// empty and "." components are dropped. nullopt for names that are absolute,
// carry a drive prefix ("C:") or contain a ".." component. The target itself
// gives "".
std::optional<std::string> SafeEntryPath(std::string_view name);

class TExtractTarget {
  public:
    // Holds the open directory dirFd (a second handle of it). Returns 0 or an
    // errno value.
    int Open(int dirFd);

    // The descriptor of the folder relPath below the target, created with its
    // missing parents; valid until the next call. -1 with errno set when a
    // component cannot be created or is not a directory (a link included).
    int Folder(const std::string& relPath);

    // Creates the file name in folder anew (an existing non-directory entry of
    // that name is removed first, so a link or a read-only file is replaced,
    // never written through) with permission bits mode, subject to the umask.
    // Returns the open descriptor, or -1 with errno set.
    static int CreateFile(int folder, const std::string& name, mode_t mode);

  private:
    TUniqueFd fRoot;
    // The folders opened for the previous call, one per component, so that
    // entries of one folder do not walk the path again.
    std::vector<std::string> fNames;
    std::vector<TUniqueFd> fFolders;
};

}  // namespace km
