#pragma once

// The HTTP/1.1 client that performs the requests of the download service.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "common/web/HttpConfig.h"

namespace km {

// Where a GET continues a body that an earlier try received in part.
struct TResumePoint {
    // The bytes already held; the request asks for the rest ("Range: bytes=N-").
    int64_t Offset = 0;
    // The ETag (else the Last-Modified date) of the first answer, sent as
    // If-Range: a server whose file changed sends it whole (200) instead.
    std::string Validator;
};

// What the final response said about its body.
struct TResponseHead {
    long Status = 0;
    std::string ETag;
    std::string LastModified;
    // The first byte of a 206 answer's Content-Range, -1 without one.
    int64_t RangeStart = -1;
    // Where the body written so far ends, counted from the start of the whole
    // body (a continued one included).
    int64_t BodyEnd = 0;
};

// Sees each block of the final response's body as it is written, with the
// block's position from the start of the whole body (0 again when a body
// starts over).
using TBodyObserver = std::function<void(int64_t offset, const char* data, size_t size)>;

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
    //
    // With resume, the request continues a body held in part: a 206 answer
    // whose Content-Range starts at resume->Offset is written from target's
    // position (the caller puts it behind the held bytes), and progress
    // counts from the start of the whole body; a 200 answer (no ranges, or
    // the file changed) is written from position 0 of target instead; any
    // other answer fails as an error status does. head, when given, receives
    // the final response's status, validators and range, also when Get
    // throws.
    void Get(const std::string& url, std::ostream& target, const TResumePoint* resume = nullptr,
             TResponseHead* head = nullptr, const TBodyObserver* observer = nullptr);

  private:
    struct THandles;
    struct TTransfer;

    std::unique_ptr<THandles> fHandles;
    TWorkEvent fOnWork;
    int64_t fMaxBodyBytes = 0;
};

}  // namespace km
