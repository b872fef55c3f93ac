#include "quorbel/ProductFolders.h"

#include <sys/stat.h>

#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "quorbel/UpdateWorld.h"

namespace qb {
namespace {

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

bool IsInstallFolderName(const std::string& name) {
    return name.size() == 8 && name.compare(0, 3, "~qo") == 0 &&
           name.find_first_not_of("012345678", 3) == std::string::npos;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TProblem ProductSetupProblem(ISettingsStore& settings) {
    const std::string installDir = settings.ReadProduct("InstallDir");
    const std::string dataDir = settings.ReadProduct("DatabaseDir");
    if (installDir.empty()) {
        return {TProblemId::NoInstallFolder, {}};
    }
    if (dataDir.empty()) {
        return {TProblemId::NoDataFolder, {}};
    }
    for (const std::string& folder : {installDir, dataDir}) {
        if (!IsAbsolute(folder) || !IsFolder(folder)) {
            return {TProblemId::FolderMissing, {km::RemovePathDelimiter(folder)}};
        }
    }
    return {};
}

TProductFolders::TProductFolders(ISettingsStore& settings)
    : fInstallPath(km::AddPathDelimiter(settings.ReadProduct("InstallDir"))) {
    const std::string dataDir = km::AddPathDelimiter(settings.ReadProduct("DatabaseDir"));
    // A folder that is not absolute would be relative to whatever the
    // current folder is: never one of the product's.
    if (IsAbsolute(dataDir)) {
        fConfigPath = dataDir + "config/";
        fConfig = km::TDir::Open(fConfigPath);
    }
    if (IsAbsolute(fInstallPath)) {
        fInstall = km::TDir::Open(fInstallPath);
    }
}

bool TProductFolders::EnsureConfig() {
    if (fConfig.Valid()) {
        return true;
    }
    if (fConfigPath.empty()) {
        return false;
    }
    try {
        km::ForceDirectories(km::RemovePathDelimiter(fConfigPath));
    } catch (const std::exception&) {
        return false;
    }
    fConfig = km::TDir::Open(fConfigPath);
    return fConfig.Valid();
}

const km::TDir& TProductFolders::PrivateTemp() {
    if (!fPrivateTemp.Valid()) {
        fPrivateTemp = km::OpenPrivateTempDir();
    }
    return fPrivateTemp;
}

bool TProductFolders::IsCopyInTarget(const std::string& dir) {
    const std::string path = km::RemovePathDelimiter(dir);
    if (!fInstallPath.empty() && path == km::RemovePathDelimiter(fInstallPath)) {
        return true;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return false;
    }
    try {
        const km::TDir& privateTemp = PrivateTemp();
        struct stat st {};
        return path.substr(0, slash + 1) == privateTemp.Path() &&
               IsInstallFolderName(path.substr(slash + 1)) &&
               privateTemp.StatAt(path.substr(slash + 1), st) == 0 && S_ISDIR(st.st_mode);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace qb
