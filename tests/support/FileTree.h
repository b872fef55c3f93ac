#pragma once

// Folder trees as values: relative path -> content, "/" for a folder and
// "->target" for a symbolic link. Tests build fixtures from them and compare
// what a folder holds with one.

#include <filesystem>
#include <map>
#include <string>

namespace kmtest {

using Tree = std::map<std::string, std::string>;

// Creates root and every folder and file of tree below it.
void MakeTree(const std::filesystem::path& root, const Tree& tree);
// What root holds (empty when it does not exist); links are not followed.
Tree ReadTree(const std::filesystem::path& root);

}  // namespace kmtest
