#pragma once

// Offline media: a folder (a USB stick) that "qbupdate --export" wrote, which
// a practice without a line, or with a metered one, updates from instead of
// the server. It holds the descriptor and its signature exactly as the
// server sent them, every package the descriptor names, and "media.index",
// a line per package: its URL, a tab, its file in the folder. A run from
// media makes the same checks as one from the server: signature, no
// rollback, digests, sizes.

#include <string>

#include "common/files/Dir.h"
#include "quorbel/UpdateWorld.h"

namespace qb {

inline constexpr const char* kMediaIndexName = "media.index";

// Fetches from the media folder dir instead of the network: the descriptor
// and its signature by their names, packages by the index.
class TMediaFetcher : public IFetcher {
  public:
    explicit TMediaFetcher(std::string dir);
    TFetchResult Fetch(const std::string& url, const km::TDir& dir, const std::string& name,
                       const TFetchOptions& options, const std::function<void(int64_t)>& onProgress,
                       const std::function<bool()>& shouldStop) override;

  private:
    // The file of url on the media folder media, "" when there is none.
    std::string FileOf(const km::TDir& media, const std::string& url) const;

    std::string fDir;
};

}  // namespace qb
