#pragma once

// A new file written out of sight in its destination folder and put in place
// in one step, so that an existing file of that name is replaced as a whole:
// nobody sees the new one half written, whoever still has the old one open
// or mapped (a running program) keeps it unchanged, and a failure leaves the
// old one as it was and nothing of the new one behind.

#include <string>

#include "common/files/UniqueFd.h"

namespace km {

class TStagedFile {
  public:
    TStagedFile() = default;
    // Removes the file unless it was put in place.
    ~TStagedFile();
    TStagedFile(const TStagedFile&) = delete;
    TStagedFile& operator=(const TStagedFile&) = delete;

    // Creates the file (mode 0600) in the folder open as folder, which must
    // stay open until Commit: without a name where the file system allows
    // it, else under a fresh hidden name. Returns 0 or an errno value.
    int Create(int folder);

    // The descriptor to write the content, mode and times through.
    int Fd() const { return fFd.Get(); }

    // Gives the file the name name in the folder: replacing an existing
    // entry of that name (not a directory) in one step, or, with
    // replaceExisting false, failing with EEXIST when one exists. Closes the
    // file. Returns 0 or an errno value. After EEXIST the file stays staged
    // and Commit may be called again; after any other failure the file is
    // discarded when the object goes.
    int Commit(const char* name, bool replaceExisting);

  private:
    int LinkUnder(const char* name) const;
    int MoveTo(const char* name, bool replaceExisting) const;

    int fFolder = -1;
    TUniqueFd fFd;
    std::string fTempName;  // the hidden name while the file has one
};

}  // namespace km
