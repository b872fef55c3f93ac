#pragma once

// Rebuilding a new release's package tree from the installed release and a
// delta package: exactly the tree the full package unpacks to, or nothing.

#include <functional>
#include <string>

#include "common/files/Dir.h"
#include "quorbel/DeltaManifest.h"

namespace qb {

// Builds the tree of manifest (type's package) in the held working folder
// work: unchanged files copied from the installed ones in base, changed ones
// patched from them, added ones copied from the unpacked delta package in
// delta. Every installed file is checked against its SHA-256 before it is
// used, every file made against the manifest's size and SHA-256, and given
// the manifest's mode and time as unpacking gives them. A file above
// maxFileBytes, or more than the disk holds, is refused before anything is
// written. Returns "" or the
// cause of the first failure (what was made is then the caller's to
// delete).
std::string RebuildFromDelta(const TDeltaManifest& manifest, const std::string& type,
                             const km::TDir& base, const km::TDir& delta, const km::TDir& work,
                             int64_t maxFileBytes, const std::function<bool()>& shouldStop);

}  // namespace qb
