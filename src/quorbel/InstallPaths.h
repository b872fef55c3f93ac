#pragma once

// Where the installed product lives, and the update types: the one table
// that says, per type, where its archive waits, where it is installed and
// how, which the update run, the path lookup and crash recovery all read.
// Every call reads the registry afresh; any thread may call.

#include <string>
#include <string_view>

#include "quorbel/Product.h"

namespace qb {

// Where an update type's package archive waits before it is installed.
enum class TArchiveFolder {
    ConfigSubfolder,  // <configuration folder>/<type>/
    NewTempFolder,    // a new "~qo" working folder in the temporary folder, made per lookup
};

// Where an update type's package is installed.
enum class TTargetFolder {
    ArchiveFolder,  // the archive folder itself
    InstallFolder,  // the product's installation folder
};

// Where the package is unpacked before it is installed.
enum class TWorkFolder {
    BelowConfigFolder,  // in the configuration folder (the same file system as the target)
    TempFolder,         // in the temporary folder
};

struct TUpdateType {
    // The descriptor element, the archive's name (+ ".zip"), the package's
    // top-level folder and the last part of the recorded date's value name.
    const char* Name;
    // The bit the run's result gets when a package of this type is installed.
    int InstalledBit;
    // Handled only in installer mode.
    bool InstallerModeOnly;
    TArchiveFolder Archive;
    TTargetFolder Target;
    // True: the package's folder replaces the target as a whole (a rename,
    // undone after a crash by the folder swap's recovery). False: its content
    // is copied into the target (journaled, rolled back after a crash).
    bool ReplaceAll;
    TWorkFolder Work;
};

// The update types in the order an update run handles them.
inline constexpr TUpdateType kUpdateTypes[] = {
    {"dev", 1, false, TArchiveFolder::ConfigSubfolder, TTargetFolder::ArchiveFolder, true,
     TWorkFolder::BelowConfigFolder},
    {"partner", 1, false, TArchiveFolder::ConfigSubfolder, TTargetFolder::ArchiveFolder, true,
     TWorkFolder::BelowConfigFolder},
    // Unpacked in the private temporary folder: another user of the shared
    // configuration folder could swap a working folder there before its
    // content is copied into the installation folder.
    {"patch", 2, true, TArchiveFolder::ConfigSubfolder, TTargetFolder::InstallFolder, false,
     TWorkFolder::TempFolder},
    {"install", 4, true, TArchiveFolder::NewTempFolder, TTargetFolder::ArchiveFolder, false,
     TWorkFolder::TempFolder},
};

// The bit of the type whose package brings a follow-up program ("torun").
inline constexpr int kFollowUpBit = 4;

// The type named exactly name (compared with case), or nullptr.
const TUpdateType* FindUpdateType(std::string_view name);
// The same for a name that must be a type: raises km::EInternalError
// "Unknown online update type: " + name for anything else.
const TUpdateType& UpdateTypeNamed(std::string_view name);

// The product's installation folder ("InstallDir") ending with "/", or empty.
std::string GetInstallDir();
// The product's data folder ("DatabaseDir") ending with "/", or empty.
std::string GetDatabaseDir();
// The data folder followed by "config/", or empty when there is no data folder.
std::string GetConfigDir();

// Whether dir (with or without trailing "/") is a folder that a copy-in of an
// update may write: the product's installation folder, or an install
// package's "~qo" working folder in this user's private temporary folder.
bool IsCopyInTarget(const std::string& dir);

// The folders of one update type, as the table above places them.
struct TUpdateTypeDirs {
    const TUpdateType* Type = nullptr;
    // Ends with "/"; a bare "<type>/" when no data folder is recorded.
    std::string ArchiveDir;
    // Ends with "/", or empty (patch without an installation folder).
    std::string TargetDir;
    // True for the types whose target is replaced as a whole.
    bool DeleteAll = false;
};

// The folders of the update type aType. For "install" every call creates a
// new "~qo" working folder in the private temporary folder (and throws
// km::Exception when none can be made, see km::CreateTempWorkDir). Raises
// km::EInternalError "Unknown online update type: " + type for anything but
// the four types (compared with case).
TUpdateTypeDirs GetUpdateTypeDirs(const std::string& aType);

}  // namespace qb
