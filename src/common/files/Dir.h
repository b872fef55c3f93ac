#pragma once

// A folder held open, and the names below it reached from that handle.
//
// Once a folder is held, renaming it, or putting a link or another folder
// where it was, changes nothing for its holder: every operation relative to
// the handle reaches the very folder that was opened. Names below it are
// resolved without following any link and without leaving it (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS where the
// kernel has it, a component-by-component O_NOFOLLOW walk otherwise). The
// path is kept only to name the folder in texts. Move-only; one thread at a
// time.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "common/files/UniqueFd.h"

namespace km {

class TDir {
  public:
    TDir() = default;
    // Takes over fd, an open folder, which path names (texts only).
    TDir(TUniqueFd fd, std::string path);

    // Opens the folder path. Links on the way are followed (a folder that
    // the settings name is where its administrator put it); with noFollow
    // the last component must not be one. Invalid, with errno set, when it
    // cannot be opened.
    static TDir Open(const std::string& path, bool noFollow = false);

    bool Valid() const { return fFd.Valid(); }
    int Fd() const { return fFd.Get(); }
    // With one trailing "/"; "" for an invalid object.
    const std::string& Path() const { return fPath; }
    // Path() + relPath, for texts.
    std::string PathOf(const std::string& relPath) const { return fPath + relPath; }

    // The folder relPath below this one, reached without links (see above).
    // Invalid, with errno set (ELOOP for a link, EXDEV for a way out, ENOTDIR,
    // ENOENT, ...), when it cannot be.
    TDir Sub(const std::string& relPath) const;

    // Opens relPath below this folder as Sub() resolves it, the last
    // component through Fs().OpenAt with flags | O_NOFOLLOW | O_CLOEXEC.
    // Returns the descriptor, or -1 with errno set.
    int OpenBeneath(const std::string& relPath, int flags, mode_t mode = 0) const;

    // fstatat of name (one component) without following a link; 0 or errno.
    int StatAt(const std::string& name, struct stat& st) const;
    // fstat of the folder itself; 0 or errno.
    int Stat(struct stat& st) const;

    // A second handle of the same folder.
    TDir Dup() const;

  private:
    TUniqueFd fFd;
    std::string fPath;
};

// Whether a and b are one file (device and inode).
bool SameFile(const struct stat& a, const struct stat& b);

}  // namespace km
