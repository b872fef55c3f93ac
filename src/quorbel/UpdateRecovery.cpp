#include "quorbel/UpdateRecovery.h"

#include <chrono>

#include "common/files/FileOps.h"
#include "common/files/FileSystem.h"
#include "common/files/WorkDir.h"
#include "quorbel/FolderSwap.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/PartialDownload.h"

namespace qb {

void RecoverInterruptedUpdate(const km::TDir& configDir, const km::TDir& installDir,
                              const TCopyInTargetFilter& mayWrite) {
    if (configDir.Valid()) {
        RecoverCopyIn(configDir, mayWrite);  // where older runs kept the journal
    }
    if (installDir.Valid()) {
        RecoverCopyIn(installDir, mayWrite);
    }
    if (!configDir.Valid()) {
        return;
    }
    for (const TUpdateType& type : kUpdateTypes) {
        if (type.Archive != TArchiveFolder::ConfigSubfolder) {
            continue;  // nothing of the type's own below the configuration folder
        }
        if (type.ReplaceAll) {
            RecoverFolderSwap(configDir, type.Name);
        }
        // A package archive that a killed run was copying into its folder,
        // when that is a real folder.
        const km::TDir folder = configDir.Sub(type.Name);
        if (folder.Valid()) {
            const std::string part = km::CopyPartName(std::string(type.Name) + ".zip");
            km::Fs().UnlinkAt(folder.Fd(), part.c_str(), 0);
        }
    }
    // Working folders of killed runs; a live run (one that runs without the
    // lock) holds its own.
    km::RemoveStaleWorkDirs(configDir, "~qb", std::chrono::seconds(0));
}

void RemoveStaleWorkingFolders(const km::TDir& privateTemp) {
    km::RemoveStaleWorkDirs(privateTemp, "~qb", std::chrono::seconds(0));
    km::RemoveStaleWorkDirs(privateTemp, "~qo", std::chrono::hours(24));
    RemoveStalePartialDownloads(privateTemp, std::chrono::hours(24 * 7));
}

}  // namespace qb
