#pragma once

// Fetching the update descriptor: downloaded into the run's working folder,
// parsed, and in a signed build checked against its signature and the last
// publication time accepted (DescriptorSignature.h).

#include <memory>
#include <optional>
#include <string>

#include "quorbel/ConfigInfoXml.h"
#include "quorbel/RunContext.h"

namespace qb {

struct TDescriptor {
    // The parsed descriptor; none when it could not be had or was refused.
    std::unique_ptr<TConfigInfoXml> Xml;
    // Without one: NoDescriptor, Stopped or Refused, and why.
    TOutcome Missing = TOutcome::NoDescriptor;
    TProblem Problem;
};

// Downloads and parses the descriptor of the run's project. In a signed
// build the publication time of an accepted descriptor is recorded unless
// record is false (a check that changes nothing).
TDescriptor DownloadConfigInfoXml(const TRunContext& context, bool record = true);

// One type's entry, its URLs (package, mirrors, deltas) resolved against
// the project folder. Raises EDescriptorElement as
// TConfigInfoXml::ReadEntry does.
TConfigInfoXmlData GetConfigInfoXmlData(const TRunContext& context, const TConfigInfoXml& xml,
                                        const std::string& type);

// The problem of a fetch that failed (the URL and the cause) or was stopped.
TProblem FetchProblem(const std::string& url, const TFetchResult& result);

// Reads the whole file name of the held folder dir through the file-system
// seam, at most maxBytes; nothing when it cannot be read or is larger.
std::optional<std::string> ReadHeldFile(const km::TDir& dir, const std::string& name,
                                        int64_t maxBytes);

}  // namespace qb
