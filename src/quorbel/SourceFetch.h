#pragma once

// One try to fetch a package from one source (the server, a mirror, the
// practice's local source, offline media): into a download that a later run
// may continue, never beyond the package's size limit, its SHA-256 computed
// as it arrives and, where the source must be checked, compared with the
// digest the descriptor names.

#include <cstdint>
#include <memory>
#include <string>

#include "common/files/Dir.h"
#include "common/files/UniqueFd.h"
#include "quorbel/ConfigInfoXml.h"
#include "quorbel/PartialDownload.h"
#include "quorbel/RunContext.h"

namespace qb {

struct TSourceAttempt {
    enum class TStatus { Done, Stopped, Failed };
    TStatus Status = TStatus::Failed;
    // Done: the package, open, with its digest and where it lies.
    km::TUniqueFd Archive;
    std::string Digest;
    km::TDir Folder;
    std::string Name;
    // Holds the folder of partial downloads while the package lies there.
    std::unique_ptr<TPartialDownload> Partial;
    // Failed or stopped: why, and the type's code (-3 a download that failed
    // or was stopped, -2 a package that is not the one the descriptor names).
    int32_t Code = 0;
    TProblem Problem;
};

// Fetches the package of entry from url. With verify, a package whose
// SHA-256 is not the descriptor's fails (-2).
TSourceAttempt FetchFromSource(const TRunContext& context, const TConfigInfoXmlData& entry,
                               const std::string& type, const std::string& url, bool verify);

}  // namespace qb
