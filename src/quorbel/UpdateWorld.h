#pragma once

// The outside world of an update run, as a few narrow interfaces: fetching
// from the configuration server, the settings store, the clock and the file
// system. The real ones are the program's own code (RealWorld()); tests pass
// in fakes that record, or fail on purpose.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "common/files/FileSystem.h"
#include "common/web/HttpClient.h"
#include "common/web/KmWeb.h"

namespace km {
class TDir;
}

namespace qb {

// How one fetch may go.
struct TFetchOptions {
    // A body larger than this fails the fetch (0: no limit).
    int64_t MaxBytes = 0;
    std::chrono::seconds StallTimeout{60};
    std::chrono::milliseconds FirstRetryWait{1000};
    std::string UserAgent;
    // When given: a part file left by an earlier fetch of the same package
    // is continued (see km::DownloadFileAt), and after a fetch that did not
    // complete it says what the part file holds, which is then kept.
    km::TDownloadState* Resume = nullptr;
    // Sees every block as it is written (offset from the start of the body).
    km::TBodyObserver Observer;
};

struct TFetchResult {
    enum class TStatus { Done, Stopped, Failed };
    TStatus Status = TStatus::Failed;
    // The size of the body the file holds (Done).
    int64_t Size = 0;
    // Why it failed: the HTTP status (0 when the transfer failed before a
    // status was judged), one of the library's fixed texts ("" when the
    // text is not one) and the whole text.
    int HttpStatus = 0;
    std::string FixedText;
    std::string Text;
    // The body grew beyond options.MaxBytes.
    bool TooLarge = false;
};

class IFetcher {
  public:
    virtual ~IFetcher() = default;
    // Fetches url into the file name in the folder dir (through name +
    // ".part", renamed when complete; see km::DownloadFileAt). onProgress
    // (may be empty) gets the bytes received so far, at least every 250 ms;
    // shouldStop (may be empty) is asked as often and ends the fetch (Stopped).
    virtual TFetchResult Fetch(const std::string& url, const km::TDir& dir, const std::string& name,
                               const TFetchOptions& options,
                               const std::function<void(int64_t)>& onProgress,
                               const std::function<bool()>& shouldStop) = 0;
};

class ISettingsStore {
  public:
    virtual ~ISettingsStore() = default;
    // A value below the settings root ("" names it), default when missing.
    virtual std::string Read(const std::string& name, const std::string& defaultValue) = 0;
    // False when it could not be written.
    virtual bool Write(const std::string& name, const std::string& value) = 0;
    // A value the product's installer left below the product's key
    // ("InstallDir", "DatabaseDir"), "" when missing.
    virtual std::string ReadProduct(const std::string& name) = 0;
};

class IClock {
  public:
    virtual ~IClock() = default;
    virtual std::chrono::system_clock::time_point Now() = 0;
    virtual std::chrono::steady_clock::time_point Steady() = 0;
    virtual void SleepFor(std::chrono::milliseconds duration) = 0;
};

struct TWorld {
    IFetcher& Fetcher;
    km::IFileSystem& Files;
    ISettingsStore& Settings;
    IClock& Clock;
};

// The real world: HTTP through the download service, the registry store,
// the system clocks and the kernel's file system. Process-wide and
// stateless, so any thread may use it.
TWorld RealWorld();

}  // namespace qb
