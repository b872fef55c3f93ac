#pragma once

// The registry store's hives: which there are, where each keeps its file,
// and which count as read-only.
//
// Where the hive files are:
//   per-user hive      ${XDG_CONFIG_HOME:-$HOME/.config}/kelmirath/registry/hkcu.db
//   machine-wide hive  /var/lib/kelmirath/registry/hklm.db
//   KM_REGISTRY_DIR, when set and non-empty, puts both files into that folder.
// The environment is read whenever a store object is made, so a test may
// change it between two accesses.
//
// Test seam for "this hive is read-only": the environment variable
// KM_REGISTRY_READONLY holds hive names (HKLM, HKCU, HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER; any letter case; separated by commas, semicolons or
// blanks). A hive named there behaves like a hive the process may not write:
// opening it for writing fails, reading works. A hive file or folder that the
// process may not write has the same effect without the variable.

#include <filesystem>

namespace km {

// The two hives of the registry store.
enum class THive { HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE };

// The hive file in effect now (the environment is read at each call).
// Any thread, as long as no thread changes the environment at the same time.
std::filesystem::path RegistryHiveFile(THive hive);
// Whether KM_REGISTRY_READONLY names the hive now.
bool RegistryHiveForcedReadOnly(THive hive);

}  // namespace km
