#pragma once

// The product's folders as one update run holds them: the installation
// folder and the configuration folder as the product's installer recorded
// them, and this user's private temporary folder. Each is opened once and
// then reached only through its handle, whatever is renamed or replaced
// under its name meanwhile. One run, one thread.

#include <string>

#include "common/files/Dir.h"
#include "quorbel/Problem.h"

namespace qb {

class ISettingsStore;

// Why the product cannot be updated at all, as its installer left it: no
// installation or data folder recorded, or one that is not a folder. Empty
// when it is set up.
TProblem ProductSetupProblem(ISettingsStore& settings);

class TProductFolders {
  public:
    // Reads "InstallDir" and "DatabaseDir" and opens those that exist.
    explicit TProductFolders(ISettingsStore& settings);

    // "<InstallDir>/" or "" when none is recorded.
    const std::string& InstallPath() const { return fInstallPath; }
    // "<DatabaseDir>/config/" or "" when no data folder is recorded.
    const std::string& ConfigPath() const { return fConfigPath; }

    // Held when it exists.
    const km::TDir& Install() const { return fInstall; }
    const km::TDir& Config() const { return fConfig; }
    // Makes the configuration folder (and the data folder) when missing and
    // holds it; false when there is no data folder or it cannot be made.
    bool EnsureConfig();

    // This user's private temporary folder, made and checked on first use
    // (km::OpenPrivateTempDir); throws km::Exception when it cannot be used.
    const km::TDir& PrivateTemp();

    // Whether dir (with or without trailing "/") is a folder a copy-in of
    // the update may write: the installation folder, or an install
    // package's "~qo" folder in the private temporary folder.
    bool IsCopyInTarget(const std::string& dir);

  private:
    std::string fInstallPath;
    std::string fConfigPath;
    km::TDir fInstall;
    km::TDir fConfig;
    km::TDir fPrivateTemp;
};

}  // namespace qb
