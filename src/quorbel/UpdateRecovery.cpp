#include "quorbel/UpdateRecovery.h"

#include <chrono>
#include <filesystem>

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
    RecoverCopyIn(configDir, IsCopyInTarget);  // where older runs kept the journal
    if (const std::string installDir = GetInstallDir(); !installDir.empty()) {
        RecoverCopyIn(installDir, IsCopyInTarget);
    }
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

    // Working folders of killed runs; a live run (one that runs without the
    // lock) holds its own.
    km::RemoveStaleWorkDirs(configDir, "~qb", std::chrono::seconds(0));
}

void RemoveStaleWorkingFolders() {
    const std::string privateTemp = km::GetPrivateTempDir();
    km::RemoveStaleWorkDirs(privateTemp, "~qb", std::chrono::seconds(0));
    km::RemoveStaleWorkDirs(privateTemp, "~qo", std::chrono::hours(24));
}

}  // namespace qb
