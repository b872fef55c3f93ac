#pragma once

// One package: the folder of an update type, zipped with that folder as its
// one top-level folder, permissions and times kept.

#include <filesystem>
#include <string>

namespace qbpublish {

// The password as the program uses it, in the vendor's code page (raises
// EPublishError for one that code page cannot write).
std::string PasswordBytes(const std::string& password);

// Writes sourceRoot/type as the package zipFile (created anew). Raises
// EPublishError for an empty folder, a link or anything but files and
// folders in it, or a package that cannot be written.
void WritePackage(const std::filesystem::path& sourceRoot, const std::string& type,
                  const std::string& passwordBytes, const std::filesystem::path& zipFile);

}  // namespace qbpublish
