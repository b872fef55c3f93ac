#pragma once

// Writing offline media (MediaFetcher.h): the current descriptor, its
// signature and every package it names, fetched with the checks of a run
// (signature and publication time in a signed build, digests and sizes),
// copied into a folder the administrator names. The index is written last,
// so that an export that did not end is never taken for a whole one.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quorbel/RunRequest.h"
#include "quorbel/UpdateReport.h"
#include "quorbel/UpdateWorld.h"

namespace qb {

struct TExportReport {
    struct TPackage {
        std::string Type;
        std::string File;  // its name in the folder
        int64_t Size = 0;
        TPackageSource Source = TPackageSource::None;
    };
    std::vector<TPackage> Packages;
    bool Signature = false;  // the descriptor's signature was written too
    bool Stopped = false;
    // Empty when the export is whole.
    TProblem Problem;
    // The descriptor could not be had or was refused.
    bool NoDescriptor = false;
};

// Exports what the request's descriptor names into the folder dir (made
// when missing). Nothing of the product changes; the practice's cache is
// used where it holds a package.
TExportReport ExportMedia(const TRunRequest& request, const TWorld& world, const std::string& dir,
                          const std::function<bool()>& shouldStop,
                          TRunObserver* observer = nullptr);

}  // namespace qb
