#include "quorbel/LocalArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"

namespace qb {
namespace {

void Refuse(const std::string& archiveFile, const std::string& reason) {
    km::DebugWarning("package archive " + archiveFile + " left alone: " + reason,
                     "OpenTrustedArchive");
}

bool OursOrRoots(const struct stat& st) {
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

bool MayBeTrusted(const struct stat& st) {
    return OursOrRoots(st) && (st.st_mode & 0022) == 0;
}

}  // namespace

km::TUniqueFd OpenTrustedArchive(const km::TDir& folder, const std::string& name) {
    if (!folder.Valid()) {
        return {};
    }
    km::TUniqueFd file(km::Fs().OpenAt(folder.Fd(), name.c_str(),
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!file.Valid()) {
        const int error = errno;
        if (error != ENOENT) {
            Refuse(folder.PathOf(name),
                   error == ELOOP ? "it is a link" : km::SysErrorMessage(error));
        }
        return {};
    }
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Refuse(folder.PathOf(name), "it is not a regular file");
        return {};
    }
    if (!MayBeTrusted(st)) {
        Refuse(folder.PathOf(name), "another user owns it or may write it");
        return {};
    }
    return file;
}

km::TDir OpenSharedFolder(const km::TDir& parent, const std::string& name, bool create) {
    if (!parent.Valid()) {
        errno = EBADF;
        return {};
    }
    struct stat st {};
    const int err = parent.StatAt(name, st);
    if (err == 0 && S_ISDIR(st.st_mode) && OursOrRoots(st)) {
        km::TDir held = parent.Sub(name);
        struct stat heldStat {};
        // What was looked at is what is held.
        if (held.Valid() && held.Stat(heldStat) == 0 && km::SameFile(st, heldStat)) {
            return held;
        }
        errno = held.Valid() ? EAGAIN : errno;
        return {};
    }
    if (err == 0) {
        const std::string aside = name + ".~qbrefused";
        km::DebugWarning(parent.PathOf(name) + " set aside as " + aside + ": " +
                             (S_ISLNK(st.st_mode)    ? "it is a link"
                              : !S_ISDIR(st.st_mode) ? "it is not a folder"
                                                     : "another user owns it"),
                         "OpenSharedFolder");
        km::DeleteEntryAt(parent.Fd(), aside.c_str());
        if (km::Fs().RenameAt(parent.Fd(), name.c_str(), parent.Fd(), aside.c_str(), 0) != 0) {
            return {};
        }
    } else if (err != ENOENT) {
        errno = err;
        return {};
    }
    if (!create) {
        errno = ENOENT;
        return {};
    }
    if (km::Fs().MkdirAt(parent.Fd(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        return {};
    }
    return OpenSharedFolder(parent, name, false);
}

}  // namespace qb
