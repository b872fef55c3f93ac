#pragma once

// A fetcher that passes everything to another and counts what arrived: all
// bytes, and those of packages (URLs ending in ".zip").

#include <cstdint>
#include <functional>
#include <string>

#include "quorbel/UpdateWorld.h"

namespace kmbench {

class TCountingFetcher : public qb::IFetcher {
  public:
    explicit TCountingFetcher(qb::IFetcher& inner) : fInner(inner) {}
    qb::TFetchResult Fetch(const std::string& url, const km::TDir& dir, const std::string& name,
                           const qb::TFetchOptions& options,
                           const std::function<void(int64_t)>& onProgress,
                           const std::function<bool()>& shouldStop) override {
        qb::TFetchResult result = fInner.Fetch(url, dir, name, options, onProgress, shouldStop);
        fBytes += result.Size;
        if (url.ends_with(".zip")) {
            fPackageBytes += result.Size;
        }
        return result;
    }
    int64_t Bytes() const { return fBytes; }
    int64_t PackageBytes() const { return fPackageBytes; }

  private:
    qb::IFetcher& fInner;
    int64_t fBytes = 0;
    int64_t fPackageBytes = 0;
};

}  // namespace kmbench
