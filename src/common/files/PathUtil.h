#pragma once

// Path helpers and uniquely named working directories. Paths are native ones:
// "/" is the only delimiter; the root "/" plays the part of a bare drive.
// Only the working-folder functions throw; any thread may call them.

#include <functional>
#include <string>

namespace km {

class TDir;

// $TMPDIR when it is set and not empty, else "/tmp"; without a trailing "/"
// (the root stays "/").
std::string GetTempBaseDir();

// This user's private temporary folder, GetTempBaseDir() + "/kelmirath-" +
// effective uid, with one trailing "/". The shared temporary folder belongs
// to every local account, so the private one is made there with mode 0700
// when missing and, before every use, checked to be a real folder (not a
// link) owned by the effective user that nobody else may enter. Throws
// km::Exception with the folder and the reason when it is not, or when it
// cannot be made; nothing is then written there.
std::string GetPrivateTempDir();

// The same folder, held: made when missing, then opened without following a
// link and checked on the open handle, so that what was checked is what is
// used. Throws as GetPrivateTempDir does.
TDir OpenPrivateTempDir();

// A working folder's name: the first three characters of prefix (code
// points; all of prefix when shorter) and five digits "0" to "8" drawn from
// drawDigit (each call yields 0..8), or from the process-wide generator when
// drawDigit is empty.
std::string WorkDirName(const std::string& prefix, const std::function<int()>& drawDigit = {});

// Creates a working directory named from the first three characters of prefix
// (code points; all of prefix when shorter) and five digits "0" to "8" below
// baseDir, or below GetPrivateTempDir() when baseDir is empty. Returns its
// path with one trailing "/".
//
// The directory is made by mkdir (mode 0700) in this very call: an existing
// entry of a drawn name is never used, whoever owns it, and another name is
// drawn. Throws km::Exception when no name could be made after
// kTempWorkDirTries draws, or when mkdir fails for any other reason (missing
// parent, no permission); no name is ever returned that was not just made.
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
