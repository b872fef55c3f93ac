#pragma once

// The settings of one HTTP request, how a request is handed them, and the
// progress callback.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace km {

enum class TWorkMode { wmRead, wmWrite };

// The progress callback of a request. aSender is the client performing the
// request (valid only during the call); aWorkCount is the number of bytes
// transferred in aWorkMode's direction since the current body began. A GET
// reports wmRead only: after each received block (at most 32 KiB) and, while
// nothing arrives (connecting, waiting for the answer, a stalled body), at
// least every 250 ms with the unchanged count, so that it can stop a stalled
// transfer promptly. It runs on the thread that started the request. It may
// end the transfer by throwing: the transfer stops at once and the exception
// reaches the caller of the request unchanged.
using TWorkEvent = std::function<void(void* aSender, TWorkMode aWorkMode, int64_t aWorkCount)>;

enum class TSslVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2 };
using TSslVersions = std::set<TSslVersion>;

inline constexpr std::chrono::seconds kDefaultConnectTimeout{30};
inline constexpr std::chrono::seconds kDefaultStallTimeout{60};

// The settings of one request; a default-constructed object holds the
// defaults every request in the program runs with.
struct THttpConfig {
    // True: the request that is given this object consumes it (see
    // THttpConfigArg). False: the caller keeps it and may reuse it.
    bool FreeAfterUse = true;
    // Whether redirects are followed (the first request plus at most 14).
    bool HandleRedirects = true;
    // When not empty, Basic credentials go with the first request already.
    std::string AuthenticationUsername;
    // Sent, even when empty, whenever the user name is not empty.
    std::string AuthenticationPassword;
    // Whether https is available at all.
    bool UseSsl = true;
    // The TLS versions that may be negotiated. One version other than
    // sslvSSLv23 allows exactly that version; a set with sslvSSLv23 allows
    // what the TLS library allows; other sets allow the range from their
    // lowest to their highest TLS version. An empty set fails the request.
    TSslVersions SslVersions = {TSslVersion::sslvTLSv1_2};
    // A connection not established within this time fails the request
    // (0: no limit of our own).
    std::chrono::seconds ConnectTimeout = kDefaultConnectTimeout;
    // A request that receives less than 100 bytes a second for about this
    // long fails (0: no limit).
    std::chrono::seconds StallTimeout = kDefaultStallTimeout;
    // A download into a file that breaks off (reset, closed early, short,
    // stalled) is continued where it broke off (DownloadFile). A try that
    // brought at least kRetryProgress bytes is followed by the next at once;
    // after tries that brought less the download waits FirstRetryWait, then
    // twice, four and eight times as long (no longer), and gives up after
    // MaxRetriesWithoutProgress such tries in a row.
    int MaxRetriesWithoutProgress = 5;
    std::chrono::milliseconds FirstRetryWait{1000};
    // Sent as User-Agent when not empty (libcurl sends none otherwise).
    std::string UserAgent;
    // A body that grows beyond this many bytes (counted from the start of
    // the whole body) ends the request with EHttpError (CURLE_FILESIZE_EXCEEDED)
    // before the excess is written; 0: no limit.
    int64_t MaxBodyBytes = 0;
};

// What a try must bring for the next one to follow at once.
inline constexpr int64_t kRetryProgress = 64 * 1024;

using THttpConfigPtr = std::unique_ptr<THttpConfig>;

// The settings handed to a request. It is one of:
// - nullptr: no settings object; the request uses default settings.
// - the caller's THttpConfigPtr, by name: when the request ends, whether it
//   succeeded or failed, the object is freed and the caller's pointer is
//   empty if the object's FreeAfterUse is true; otherwise the pointer is left
//   as it was. An empty pointer counts as no settings object.
// - a THttpConfigPtr handed over (std::move or a temporary): nobody else owns
//   it, so it is freed when the request ends whatever its FreeAfterUse says.
// A request consumes its argument in every case, also when it fails before
// any network activity. One settings object must not serve two requests at
// the same time.
class THttpConfigArg {
  public:
    THttpConfigArg(std::nullptr_t) noexcept {}
    THttpConfigArg(THttpConfigPtr& config) noexcept : fCallerSlot(&config) {}
    THttpConfigArg(THttpConfigPtr&& config) noexcept : fHandedOver(std::move(config)) {}
    THttpConfigArg(THttpConfigArg&& other) noexcept;
    THttpConfigArg& operator=(THttpConfigArg&&) = delete;
    THttpConfigArg(const THttpConfigArg&) = delete;
    THttpConfigArg& operator=(const THttpConfigArg&) = delete;
    ~THttpConfigArg();

    // The settings object, or nullptr when none was given.
    const THttpConfig* Get() const noexcept;

  private:
    THttpConfigPtr* fCallerSlot = nullptr;  // the caller's pointer; not ours
    THttpConfigPtr fHandedOver;
};

}  // namespace km
