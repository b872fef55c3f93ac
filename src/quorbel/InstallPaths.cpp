#include "quorbel/InstallPaths.h"

#include <sys/stat.h>

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

bool IsCopyInTarget(const std::string& dir) {
    const std::string path = km::RemovePathDelimiter(dir);
    const std::string installDir = km::RemovePathDelimiter(GetInstallDir());
    if (!installDir.empty() && path == installDir) {
        return true;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return false;
    }
    const std::string name = path.substr(slash + 1);
    std::string privateDir;
    try {
        privateDir = km::GetPrivateTempDir();
    } catch (const std::exception&) {
        return false;
    }
    struct stat st {};
    return path.substr(0, slash + 1) == privateDir && name.size() == 8 &&
           name.compare(0, 3, "~qo") == 0 &&
           name.find_first_not_of("012345678", 3) == std::string::npos &&
           ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
