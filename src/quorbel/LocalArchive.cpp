#include "quorbel/LocalArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/base/KmDebug.h"
#include "common/base/SysError.h"
#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"

namespace qb {
namespace {

void Refuse(const std::string& archiveFile, const std::string& reason) {
    km::DebugWarning("package archive " + archiveFile + " left alone: " + reason,
                     "OpenTrustedArchive");
}

bool MayBeTrusted(const struct stat& st) {
    return (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & 0022) == 0;
}

}  // namespace

km::TUniqueFd OpenTrustedArchive(const std::string& archiveFile) {
    const size_t slash = archiveFile.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : archiveFile.substr(0, slash);
    const std::string name = archiveFile.substr(slash == std::string::npos ? 0 : slash + 1);
    const km::TUniqueFd dir(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.Valid()) {
        const int error = errno;
        struct stat st {};
        if ((error == ELOOP || error == ENOTDIR) &&
            ::fstatat(AT_FDCWD, archiveFile.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            Refuse(archiveFile, "its folder is a link");
        }
        return {};
    }
    km::TUniqueFd file(
        ::openat(dir.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.Valid()) {
        const int error = errno;
        if (error != ENOENT) {
            Refuse(archiveFile, error == ELOOP ? "it is a link" : km::SysErrorMessage(error));
        }
        return {};
    }
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Refuse(archiveFile, "it is not a regular file");
        return {};
    }
    if (!MayBeTrusted(st)) {
        Refuse(archiveFile, "another user owns it or may write it");
        return {};
    }
    return file;
}

std::string OpenFileName(const km::TUniqueFd& fd) {
    return "/proc/self/fd/" + std::to_string(fd.Get());
}

bool PrepareArchiveFolder(const std::string& folder) {
    const std::string path = km::RemovePathDelimiter(folder);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        km::DebugWarning("link " + path + " removed: a package is never written through it",
                         "PrepareArchiveFolder");
        if (::unlink(path.c_str()) != 0) {
            return false;
        }
    }
    try {
        return km::ForceDirectories(path) && km::DirectoryExists(path);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace qb
