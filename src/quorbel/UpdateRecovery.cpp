#include "quorbel/UpdateRecovery.h"

#include <filesystem>
#include <regex>

#include "common/files/FileOps.h"
#include "quorbel/CopyInTransaction.h"
#include "quorbel/FolderSwap.h"

namespace qb {

void RecoverInterruptedUpdate(const std::string& configDir) {
    if (configDir.empty() || !km::DirectoryExists(configDir)) {
        return;
    }
    RecoverCopyIn(configDir);
    RecoverFolderSwap(configDir + "dev");
    RecoverFolderSwap(configDir + "partner");
    // A package archive that a killed run was copying into its folder.
    for (const char* type : {"dev", "partner", "patch"}) {
        km::DeleteFile(configDir + type + "/" + type + ".zip" + km::kCopyPartSuffix);
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

}  // namespace qb
