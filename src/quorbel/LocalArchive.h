#pragma once

// Package archives waiting in the configuration folder, which the product's
// users share: any of them may put a file there, or replace a type's folder
// with a link. Such an archive is never installed.

#include <string>

#include "common/files/UniqueFd.h"

namespace qb {

// Opens archiveFile for unpacking when it may be trusted: a regular file
// reached without a link, in a folder that is not a link, owned by this user
// or root and writable by nobody else. Otherwise returns an invalid
// descriptor, and a debug log entry names a file that is there but refused.
km::TUniqueFd OpenTrustedArchive(const std::string& archiveFile);

// A name under which the file open as fd is reached, whatever happens to its
// own name meanwhile.
std::string OpenFileName(const km::TUniqueFd& fd);

// Prepares the folder a downloaded archive is moved into: a link standing in
// its place is removed (never written through; the product's own folder is
// made instead), a missing folder is made. False when no folder can be made.
bool PrepareArchiveFolder(const std::string& folder);

}  // namespace qb
