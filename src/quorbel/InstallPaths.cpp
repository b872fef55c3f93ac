#include "quorbel/InstallPaths.h"

#include "common/base/KmException.h"
#include "common/files/PathUtil.h"
#include "common/registry/KmRegistry.h"

namespace qb {

std::string GetInstallDir() {
    return km::AddPathDelimiter(km::ReadRegString("InstallDir", "", kProductRegistryKey));
}

std::string GetDatabaseDir() {
    return km::AddPathDelimiter(km::ReadRegString("DatabaseDir", "", kProductRegistryKey));
}

std::string GetConfigDir() {
    const std::string dataDir = GetDatabaseDir();
    return dataDir.empty() ? std::string() : dataDir + "config/";
}

void GetUpdateTypeDirs(const std::string& aType, std::string& archiveDir, std::string& targetDir,
                       bool& deleteAll) {
    archiveDir.clear();
    targetDir.clear();
    archiveDir = GetConfigDir() + aType + "/";
    if (aType == "dev" || aType == "partner") {
        targetDir = archiveDir;
        deleteAll = true;
    } else if (aType == "patch") {
        targetDir = GetInstallDir();
        deleteAll = false;
    } else if (aType == "install") {
        archiveDir = km::CreateTempWorkDir("~qo", "");
        targetDir = archiveDir;
        deleteAll = false;
    } else {
        throw km::EInternalError("Unknown online update type: " + aType);
    }
}

}  // namespace qb
