#pragma once

// Where the installed product lives and where each kind of update package
// goes. Every call reads the registry afresh; any thread may call.

#include <string>

namespace qb {

// The registry key below which the product's installer records its folders.
inline constexpr const char* kProductRegistryKey = "Software\\kelmirath\\Tolvan";

// The update types in the order an update run handles them.
inline constexpr const char* kUpdateTypes[] = {"dev", "partner", "patch", "install"};

// The product's installation folder ("InstallDir") ending with "/", or empty.
std::string GetInstallDir();
// The product's data folder ("DatabaseDir") ending with "/", or empty.
std::string GetDatabaseDir();
// The data folder followed by "config/", or empty when there is no data folder.
std::string GetConfigDir();

// The archive folder, target folder and installation mode of one update type.
// For "install" every call creates a new "~qo" working folder in the
// temporary folder. Raises km::EInternalError "Unknown online update type: "
// + type for anything but the four types (compared with case).
void GetUpdateTypeDirs(const std::string& aType, std::string& archiveDir, std::string& targetDir,
                       bool& deleteAll);

}  // namespace qb
