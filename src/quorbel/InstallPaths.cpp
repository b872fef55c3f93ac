#include "quorbel/InstallPaths.h"

#include "common/base/KmException.h"
#include "common/files/PathUtil.h"
#include "common/registry/KmRegistry.h"

namespace qb {

const TUpdateType* FindUpdateType(std::string_view name) {
    for (const TUpdateType& type : kUpdateTypes) {
        if (name == type.Name) {
            return &type;
        }
    }
    return nullptr;
}

const TUpdateType& UpdateTypeNamed(std::string_view name) {
    const TUpdateType* type = FindUpdateType(name);
    if (type == nullptr) {
        throw km::EInternalError("Unknown online update type: " + std::string(name));
    }
    return *type;
}

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

TUpdateTypeDirs GetUpdateTypeDirs(const std::string& aType) {
    const TUpdateType& type = UpdateTypeNamed(aType);
    TUpdateTypeDirs dirs;
    dirs.Type = &type;
    dirs.ArchiveDir = type.Archive == TArchiveFolder::NewTempFolder
                          ? km::CreateTempWorkDir("~qo", "")
                          : GetConfigDir() + type.Name + "/";
    dirs.TargetDir =
        type.Target == TTargetFolder::InstallFolder ? GetInstallDir() : dirs.ArchiveDir;
    dirs.DeleteAll = type.ReplaceAll;
    return dirs;
}

}  // namespace qb
