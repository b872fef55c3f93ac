#pragma once

// Package archives waiting in the configuration folder, which the product's
// users share: any of them may put a file there, or replace a type's folder
// with a link. Such an archive is never installed, and such a folder never
// used.

#include <string>

#include "common/files/Dir.h"
#include "common/files/UniqueFd.h"

namespace qb {

// Opens the archive name in the held folder for unpacking when it may be
// trusted: a regular file reached without a link, owned by this user or root
// and writable by nobody else. Otherwise returns an invalid descriptor, and
// a debug log entry names a file that is there but refused.
km::TUniqueFd OpenTrustedArchive(const km::TDir& folder, const std::string& name);

// The folder name in the held folder parent (a folder other accounts may
// write), held. Whatever stands at the name and is not a real folder of this
// user or root (a link, a file, a folder of another account) is set aside:
// renamed to name + ".~qbrefused" (one earlier set-aside entry of that name
// goes), with a debug log entry; it is never followed and never used. With
// create, a missing (or set-aside) folder is made anew. Invalid, with errno
// set, when there is none.
km::TDir OpenSharedFolder(const km::TDir& parent, const std::string& name, bool create);

}  // namespace qb
