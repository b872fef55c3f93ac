#include "quorbel/FolderSwap.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/base/SysError.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"

namespace qb {
namespace {

bool Exists(const km::TDir& dir, const std::string& name) {
    struct stat st {};
    return dir.StatAt(name, st) == 0;
}

// 0 or the errno of the failed rename (then described in error).
int Rename(const km::TDir& fromDir, const std::string& from, const km::TDir& toDir,
           const std::string& to, unsigned flags, std::string* error = nullptr) {
    if (km::Fs().RenameAt(fromDir.Fd(), from.c_str(), toDir.Fd(), to.c_str(), flags) == 0) {
        return 0;
    }
    const int err = errno;
    if (error != nullptr) {
        *error = km::SysErrorMessage(err) + ": " + fromDir.PathOf(from) + " -> " + toDir.PathOf(to);
    }
    return err;
}

// The swap where the file system cannot exchange two entries.
bool ReplaceByAside(const km::TDir& from, const std::string& newName, const km::TDir& parent,
                    const std::string& targetName, std::string* error) {
    const std::string aside = FolderSwapAsideName(targetName);
    const bool hadOld = Exists(parent, targetName);
    if (hadOld && Rename(parent, targetName, parent, aside, 0, error) != 0) {
        return false;
    }
    if (Rename(from, newName, parent, targetName, 0, error) != 0) {
        if (hadOld) {
            Rename(parent, aside, parent, targetName, 0);
        }
        return false;
    }
    if (hadOld) {
        km::DeleteEntryAt(parent.Fd(), aside.c_str());
    }
    return true;
}

}  // namespace

std::string FolderSwapAsideName(const std::string& targetName) {
    return km::RemovePathDelimiter(targetName) + ".~qbold";
}

bool ReplaceFolder(const km::TDir& from, const std::string& newName, const km::TDir& parent,
                   const std::string& targetName, std::string* error) {
    struct stat st {};
    if (from.StatAt(newName, st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error != nullptr) {
            *error = "The package holds no folder " + from.PathOf(newName);
        }
        return false;
    }
    RecoverFolderSwap(parent, targetName);
    const int err = Rename(from, newName, parent, targetName, RENAME_EXCHANGE, error);
    if (err == 0) {
        // The old folder (or the link that stood there) is now newName in
        // from; it goes as an entry, never followed.
        km::DeleteEntryAt(from.Fd(), newName.c_str());
        return true;
    }
    if (err == ENOENT && !Exists(parent, targetName)) {
        return Rename(from, newName, parent, targetName, RENAME_NOREPLACE, error) == 0;
    }
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        return ReplaceByAside(from, newName, parent, targetName, error);
    }
    return false;
}

bool ReplaceFolder(const std::string& newFolder, const std::string& targetDir, std::string* error) {
    const km::TPathSplit source = km::SplitPath(km::RemovePathDelimiter(newFolder));
    const km::TPathSplit target = km::SplitPath(km::RemovePathDelimiter(targetDir));
    const km::TDir from = km::TDir::Open(source.Parent);
    const km::TDir parent = km::TDir::Open(target.Parent);
    if (!from.Valid() || !parent.Valid()) {
        if (error != nullptr) {
            *error =
                km::SysErrorMessage(errno) + ": " + (from.Valid() ? target.Parent : source.Parent);
        }
        return false;
    }
    return ReplaceFolder(from, source.Name, parent, target.Name, error);
}

void RecoverFolderSwap(const km::TDir& parent, const std::string& targetName) {
    const std::string aside = FolderSwapAsideName(targetName);
    if (!Exists(parent, aside)) {
        return;
    }
    if (Exists(parent, targetName)) {
        km::DeleteEntryAt(parent.Fd(), aside.c_str());
    } else {
        Rename(parent, aside, parent, targetName, 0);
    }
}

void RecoverFolderSwap(const std::string& targetDir) {
    const km::TPathSplit target = km::SplitPath(km::RemovePathDelimiter(targetDir));
    const km::TDir parent = km::TDir::Open(target.Parent);
    if (parent.Valid()) {
        RecoverFolderSwap(parent, target.Name);
    }
}

}  // namespace qb
