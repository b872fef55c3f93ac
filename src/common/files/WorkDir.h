#pragma once

// Working folders that a run holds while it uses them.
//
// A working folder is always new: made by mkdirat in its held parent under a
// fresh name, then opened without following a link and checked on that
// handle to be the folder just made (this user's, open to nobody else).
// Everything in it is reached through its handle, so a folder that someone
// renames away or replaces by a link meanwhile changes nothing for the run.
//
// A killed run leaves its working folders behind. The next run deletes them
// (RemoveStaleWorkDirs), but several runs of one user (two products, or a
// window and a command-line run) share the private temporary folder, so a
// folder still in use must never be taken: a run holds an advisory lock
// (flock) on each of its working folders for as long as it uses it, and the
// operating system releases it however the run ends.

#include <chrono>
#include <string>

#include "common/files/Dir.h"

namespace km {

class TWorkDir {
  public:
    TWorkDir() = default;
    // Makes a working folder named from prefix (see WorkDirName) in the
    // folder parent and locks it. Throws km::Exception, naming the parent and
    // the cause, when none can be made (after kTempWorkDirTries taken names).
    TWorkDir(const TDir& parent, const std::string& prefix);
    // The same below the folder baseDir, or in the private temporary folder
    // when baseDir is empty.
    explicit TWorkDir(const std::string& prefix, const std::string& baseDir = {});
    // Deletes the folder with its content.
    ~TWorkDir();
    TWorkDir(TWorkDir&& other) noexcept = default;
    TWorkDir& operator=(TWorkDir&& other) noexcept;
    TWorkDir(const TWorkDir&) = delete;
    TWorkDir& operator=(const TWorkDir&) = delete;

    bool Valid() const { return fDir.Valid(); }
    // With one trailing "/"; empty for a default-constructed object. For
    // texts and for whoever runs after us (a follow-up program).
    const std::string& Path() const { return fDir.Path(); }
    // Its name in its parent.
    const std::string& Name() const { return fName; }
    // The held folder.
    const TDir& Dir() const { return fDir; }

    // Leaves the folder in place when this object goes, unlocked (an install
    // package's folder serves its follow-up program after the run).
    void Keep() { fKeep = true; }

  private:
    void Remove();

    TDir fParent;
    TDir fDir;
    std::string fName;
    bool fKeep = false;
};

// Deletes the content of the folder open as dir, never through a link; true
// when it is empty afterwards.
bool DeleteContent(const TDir& dir);

// Deletes the folders below dir named from prefix as WorkDirName names them
// (real folders only, never through a link) that no live run holds and that
// were last modified at least minAge ago. A folder that cannot be deleted is
// left; nothing is reported.
void RemoveStaleWorkDirs(const TDir& dir, const std::string& prefix, std::chrono::seconds minAge);
void RemoveStaleWorkDirs(const std::string& dir, const std::string& prefix,
                         std::chrono::seconds minAge);

}  // namespace km
