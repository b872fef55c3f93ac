#pragma once

// Path helpers and uniquely named working directories. Paths are native ones:
// "/" is the only delimiter; the root "/" plays the part of a bare drive.
// None of these functions throws for ordinary input, and any thread may call
// them.

#include <functional>
#include <string>

namespace km {

// $TMPDIR when it is set and not empty, else "/tmp"; without a trailing "/"
// (the root stays "/").
std::string GetTempBaseDir();

// Creates a working directory named from the first three characters of prefix
// (code points; all of prefix when shorter) and five digits "0" to "8" below
// baseDir, or below GetTempBaseDir() when baseDir is empty. Returns its path
// with one trailing "/".
//
// The temporary directory is shared between users, so a name found there is
// not trusted: a new directory is made with mode 0700, and an existing entry
// of the drawn name is used only when it is a real directory (not a link)
// owned by the effective user; otherwise another name is drawn. After a bounded
// number of draws the last name is returned all the same and an error entry is
// written to the debug log. Any other failure to create the directory is not
// reported: it shows when the caller writes into it.
//
// The digits come from one process-wide generator, seeded once from a clock;
// concurrent calls are safe.
std::string CreateTempWorkDir(const std::string& prefix, const std::string& baseDir = {});

// The same with the digits drawn from drawDigit (each call yields 0..8).
// Tests use it to force names.
std::string CreateTempWorkDir(const std::string& prefix, const std::string& baseDir,
                              const std::function<int()>& drawDigit);

// The number of names CreateTempWorkDir draws before it gives up.
inline constexpr int kTempWorkDirTries = 100;

// "" stays ""; otherwise path with a "/" appended unless it already ends in one.
std::string AddPathDelimiter(const std::string& path);

// path without one trailing "/"; the root "/" stays as it is.
std::string RemovePathDelimiter(const std::string& path);

// Everything after the last "/" of url (query and fragment included); all of
// url when it has no "/".
std::string ExtractUrlFileName(const std::string& url);

}  // namespace km
