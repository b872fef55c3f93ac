#pragma once

// The follow-up program of an install package is named by the descriptor
// ("torun", relative to the unpacked package). It is started as the user who
// runs the update, often an administrator, so it must lie inside the package.

#include <string>

namespace qb {

// True when toRun names a path inside packageDir: not absolute, no component
// that climbs out once the path is normalised, and no link on its way that
// leads out (as far as the path exists). An empty toRun names nothing to start
// and passes.
bool IsInsidePackage(const std::string& packageDir, const std::string& toRun);

}  // namespace qb
