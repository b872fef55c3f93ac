#pragma once

// The error of a failed HTTP request.

#include <string>

#include "common/base/KmException.h"

namespace km {

// A request that failed: the transfer itself (connection, TLS, read, time-out;
// CurlCode() is the HTTP library's code) or a final response whose status is
// not 2xx (StatusCode() is that status, CurlCode() is 22, "HTTP returned an
// error", and the message is the status line, e.g. "HTTP/1.1 404 Not Found").
class EHttpError : public Exception {
  public:
    EHttpError(std::string message, int curlCode, int statusCode = 0, std::string fixedText = {})
        : Exception(std::move(message)),
          fCurlCode(curlCode),
          fStatusCode(statusCode),
          fFixedText(std::move(fixedText)) {}
    KM_EXCEPTION_CLASS_NAME(EHttpError)

    // The start of the message when it is one of the HTTP library's fixed
    // texts ("Couldn't connect to server"), which a catalogue may translate;
    // "" when the message is the server's (a status line) or composed.
    const std::string& FixedText() const { return fFixedText; }

    int CurlCode() const { return fCurlCode; }
    // The HTTP status of the final response, 0 when the transfer failed before
    // a status was judged.
    int StatusCode() const { return fStatusCode; }
    // The body grew beyond the request's THttpConfig::MaxBodyBytes.
    bool BodyTooLarge() const { return fCurlCode == kBodyTooLargeCode; }

    // The HTTP library's code for a body beyond the size allowed.
    static constexpr int kBodyTooLargeCode = 63;

  private:
    int fCurlCode;
    int fStatusCode;
    std::string fFixedText;
};

}  // namespace km
