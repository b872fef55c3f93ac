#pragma once

// A delta package: what turns the installed release of an earlier date into
// the package just written, a few changed files instead of all of them (see
// quorbel/DeltaManifest.h for what it holds).

#include <cstdint>
#include <filesystem>
#include <string>

namespace qbpublish {

// Writes the delta of type from the earlier release whose source folder is
// baseRoot (holding baseRoot/type) to the full package fullZip, made from
// sourceRoot, as deltaFile, its entries protected with passwordBytes as the
// package's are. False, with nothing written and why set, when the delta
// would be larger than half the full package or a name cannot be listed.
bool WriteDelta(const std::filesystem::path& sourceRoot, const std::filesystem::path& baseRoot,
                const std::string& type, const std::string& baseDate,
                const std::string& passwordBytes, const std::filesystem::path& fullZip,
                const std::filesystem::path& deltaFile, std::string& why);

}  // namespace qbpublish
