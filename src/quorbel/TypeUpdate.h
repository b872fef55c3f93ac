#pragma once

// One update type of a run (UpdateForConfigType): a waiting
// archive is installed and recorded as "init"; then, with a descriptor, a
// newer package is downloaded, installed and its date recorded.

#include <string>

#include "quorbel/DescriptorFetch.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/RunContext.h"

namespace qb {

// The report of type. Expected failures are in the report; only what
// reading the descriptor's entry raises (EDescriptorElement) escapes, and
// that ends the run.
TTypeReport UpdateForConfigType(const TRunContext& context, const TUpdateType& type,
                                const TDescriptor& descriptor, const std::string& password);

}  // namespace qb
