#pragma once

// Installing a type's new release from a delta package: when the release
// installed is the base of one of the entry's deltas, the delta is fetched,
// the new package's tree rebuilt from the installed files (DeltaRebuild.h)
// and installed exactly as the full package's would be. Any failure short
// of a stop leaves the product as it was, goes to the debug log, and leaves
// the type to the full package.

#include <string>

#include "quorbel/ConfigInfoXml.h"
#include "quorbel/PackageInstall.h"
#include "quorbel/RunContext.h"

namespace qb {

enum class TDeltaResult { NotUsed, Installed, Stopped };

// Tries the delta of entry whose base is lastConfigUpdate. Installed: the
// new release is in place (report's Source, Url and Delta say how it came);
// Stopped: report says so; NotUsed: report is untouched.
TDeltaResult InstallFromDelta(const TRunContext& context, const TConfigInfoXmlData& entry,
                              const TUpdateType& type, const TTypeFolders& folders,
                              const std::string& password, const std::string& lastConfigUpdate,
                              TTypeReport& report);

}  // namespace qb
