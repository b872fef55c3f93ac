#include "quorbel/UpdateRecovery.h"

#include <filesystem>
#include <regex>

#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "common/files/WorkDir.h"
#include "quorbel/CopyInTransaction.h"
#include "quorbel/FolderSwap.h"
#include "quorbel/InstallPaths.h"

namespace qb {

void RecoverInterruptedUpdate(const std::string& configDir) {
    if (configDir.empty() || !km::DirectoryExists(configDir)) {
        return;
    }
    RecoverCopyIn(configDir, IsCopyInTarget);
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.Archive != TArchiveFolder::ConfigSubfolder) {
            continue;  // nothing of the type's own below the configuration folder
        }
        const std::string folder = configDir + type.Name;
        if (type.ReplaceAll) {
            RecoverFolderSwap(folder);
        }
        // A package archive that a killed run was copying into its folder.
        km::DeleteFile(km::CopyPartName(folder + "/" + type.Name + ".zip"));
    }

    static const std::regex workDirName("~qb[0-8]{5}");
    std::error_code ec;
    for (std::filesystem::directory_iterator it(configDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (std::regex_match(name, workDirName) && it->is_directory(ec) && !it->is_symlink(ec)) {
            km::DeleteDirectoryTree(it->path().string());
        }
    }
}

void RemoveStaleWorkingFolders() {
    const std::string privateTemp = km::GetPrivateTempDir();
    km::RemoveStaleWorkDirs(privateTemp, "~qb", std::chrono::seconds(0));
    km::RemoveStaleWorkDirs(privateTemp, "~qo", std::chrono::hours(24));
}

}  // namespace qb
