#pragma once

// Working folders that a run holds while it uses them.
//
// A killed run leaves its working folders behind. The next run deletes them
// (RemoveStaleWorkDirs), but several runs of one user (two products, or a
// window and a command-line run) share the private temporary folder, so a
// folder still in use must never be taken: a run holds an advisory lock
// (flock) on each of its working folders for as long as it uses it, and the
// operating system releases it however the run ends.

#include <chrono>
#include <string>

#include "common/files/UniqueFd.h"

namespace km {

class TWorkDir {
  public:
    TWorkDir() = default;
    // Makes a working folder with CreateTempWorkDir(prefix, baseDir) and
    // locks it. Throws km::Exception as CreateTempWorkDir does.
    TWorkDir(const std::string& prefix, const std::string& baseDir = {});
    // Deletes the folder with its content.
    ~TWorkDir();
    TWorkDir(TWorkDir&& other) noexcept;
    TWorkDir& operator=(TWorkDir&& other) noexcept;
    TWorkDir(const TWorkDir&) = delete;
    TWorkDir& operator=(const TWorkDir&) = delete;

    // With one trailing "/"; empty for a default-constructed object.
    const std::string& Path() const { return fPath; }

  private:
    void Remove();

    std::string fPath;
    TUniqueFd fLock;
};

// Deletes the folders below dir named from prefix as CreateTempWorkDir names
// them (real folders only, never through a link) that no live run holds and
// that were last modified at least minAge ago. A folder that cannot be
// deleted is left; nothing is reported.
void RemoveStaleWorkDirs(const std::string& dir, const std::string& prefix,
                         std::chrono::seconds minAge);

}  // namespace km
