#pragma once

// Unpacking of ZIP archives (the update packages).

#include <string>

#include "common/base/KmException.h"

namespace km {

class TDir;

// A failed extraction. The message is one of the fixed texts below or the
// decoder's or file system's own message.
class EZipError : public Exception {
  public:
    explicit EZipError(std::string message);
    KM_EXCEPTION_CLASS_NAME(EZipError)

    // The fixed text the message begins with (one of the texts below, which
    // a catalogue may translate), "" for the decoder's or file system's own.
    const std::string& FixedText() const { return fFixedText; }

  private:
    std::string fFixedText;
};

// Unpacks every entry of the ZIP archive archiveFile below targetDir (with or
// without trailing "/"; created when missing), in central-directory order:
// folder entries create their folders, "/" and "\" both separate folders, a
// file is created anew (replacing an existing one, so a later entry of the
// same path wins) and streamed to disk, then gets its entry's modification
// time and permissions (Unix permission bits without set-uid/set-gid/sticky
// and without write access for group and other, for entries made on Unix; read-only for entries
// with the DOS read-only attribute; otherwise the default mode). Entries may be stored or deflated
// (bzip2 and LZMA also work) and protected with the traditional PKWARE
// encryption; password (may be empty) is used as is. A 0-byte archiveFile is
// an archive without entries.
//
// Nothing is written outside targetDir: entry names that are absolute, carry
// a drive prefix or climb above it with ".." are refused before anything of
// theirs is written, links inside targetDir are never followed, and entries
// made as symbolic links are written as regular files holding the link text.
//
// Throws EZipError; files of earlier entries stay, the partly written file of
// the failing entry is deleted. Messages:
//   "Unable to create directory"    targetDir is empty
//   "Directory does not exist"      targetDir is missing and cannot be made
//   "Unhandled Archive Type"        not a ZIP archive (or cut short)
//   "Cannot extract file - newer version required"         version needed >= 6.4
//   "Cannot extract file - unsupported compression method"
//   "Cannot extract file - invalid password"               no or wrong password
//   "Failed CRC Check"                 (also for an entry larger than declared)
//   "Cannot extract file - not enough free space (...)"   the declared content
//                                     does not fit on the target's file system
//                                     (checked before anything is written)
//   "Cannot extract file - unsafe path: " + entry name
//   otherwise the decoder's or the file system's message (the latter with the
//   path it concerns), e.g. for a missing archiveFile or a full disk.
// Runs on the calling thread. The archive file is opened once and only read;
// another file renamed over archiveFile meanwhile is not seen.
void ExtractZipArchive(const std::string& archiveFile, const std::string& targetDir,
                       const std::string& password);

// The same for the archive open as archiveFd (read from it, whatever its name
// leads to meanwhile) into the held folder target, which must exist: every
// folder and file is made relative to its handle. Reads and writes go
// through the file-system seam (Fs()). Throws EZipError as above ("Directory
// does not exist" for an invalid target).
void ExtractZipArchive(int archiveFd, const TDir& target, const std::string& password);

}  // namespace km
