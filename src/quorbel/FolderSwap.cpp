#include "quorbel/FolderSwap.h"

#include <filesystem>

#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// The aside entry is the old folder, or the link that stood in its place.
void RemoveAside(const std::string& aside) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(aside, ec))) {
        fs::remove(aside, ec);
    } else {
        km::DeleteDirectoryTree(aside);
    }
}

bool Rename(const std::string& from, const std::string& to, std::string* error = nullptr) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec && error != nullptr) {
        *error = ec.message() + ": " + from + " -> " + to;
    }
    return !ec;
}

}  // namespace

std::string FolderSwapAsideName(const std::string& targetDir) {
    return km::RemovePathDelimiter(targetDir) + ".~qbold";
}

bool ReplaceFolder(const std::string& newFolder, const std::string& targetDir, std::string* error) {
    const std::string target = km::RemovePathDelimiter(targetDir);
    const std::string aside = FolderSwapAsideName(target);
    if (!km::DirectoryExists(newFolder)) {
        if (error != nullptr) {
            *error = "The package holds no folder " + km::RemovePathDelimiter(newFolder);
        }
        return false;
    }
    RecoverFolderSwap(target);
    const bool hadOld = Exists(target);
    if (hadOld && !Rename(target, aside, error)) {
        return false;
    }
    if (!Rename(km::RemovePathDelimiter(newFolder), target, error)) {
        if (hadOld) {
            Rename(aside, target);
        }
        return false;
    }
    if (hadOld) {
        RemoveAside(aside);
    }
    return true;
}

void RecoverFolderSwap(const std::string& targetDir) {
    const std::string target = km::RemovePathDelimiter(targetDir);
    const std::string aside = FolderSwapAsideName(target);
    if (!Exists(aside)) {
        return;
    }
    if (Exists(target)) {
        RemoveAside(aside);
    } else {
        Rename(aside, target);
    }
}

}  // namespace qb
