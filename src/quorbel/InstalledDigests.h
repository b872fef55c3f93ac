#pragma once

// The digests (SHA-256) of the packages installed per type, newest first: a
// short history kept in the settings store. A package archive found waiting
// whose digest is in it was installed before: put back by someone, it would
// roll the product back, so it is refused as a replay, in every build.

#include <string>

namespace qb {

class ISettingsStore;

// How many installed packages per type are remembered.
inline constexpr int kInstalledDigestHistory = 16;

// The settings value that holds the history of a type of a project.
std::string InstalledDigestsRegKey(const std::string& project, const std::string& type);

bool WasInstalled(ISettingsStore& settings, const std::string& project, const std::string& type,
                  const std::string& digest);

// Puts digest first in the history (an empty digest is not recorded).
void RecordInstalled(ISettingsStore& settings, const std::string& project, const std::string& type,
                     const std::string& digest);

}  // namespace qb
