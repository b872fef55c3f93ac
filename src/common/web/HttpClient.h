#pragma once

// The HTTP/1.1 client that performs the requests of the download service.

#include <iosfwd>
#include <memory>
#include <string>

#include "common/web/HttpConfig.h"

namespace km {

// One client per request, built from a settings object. It fetches absolute
// http and https URLs directly (never through a proxy, whatever the
// environment says), requests no content compression, follows redirects when
// the settings say so and reports progress through its TWorkEvent.
// A client may be built on any thread and is used by one thread at a time.
class THttpClient {
  public:
    // Applies config (which the client does not keep) and installs onWork
    // (may be empty). Throws EHttpError when a setting cannot be applied,
    // e.g. an empty SslVersions.
    THttpClient(const THttpConfig& config, TWorkEvent onWork);
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // One GET of url. The body of the final response is written to target,
    // from its current position, exactly as received, when that response has
    // a 2xx status. Interim 1xx answers are skipped; redirect bodies are never
    // written. Blocks the calling thread until the request has ended; its
    // connections are closed before it returns.
    // Throws EHttpError: for a failed transfer (connection, TLS, read error,
    // body shorter than announced, more than 14 redirects, time-outs, target
    // not writable), and for a final status other than 2xx (304, 3xx
    // without a location or not followed, 4xx, 5xx; StatusCode() tells it),
    // whose body is not written. An exception thrown by the progress callback
    // ends the transfer at once and is rethrown unchanged.
    void Get(const std::string& url, std::ostream& target);

  private:
    struct THandles;
    struct TTransfer;

    std::unique_ptr<THandles> fHandles;
    TWorkEvent fOnWork;
};

}  // namespace km
