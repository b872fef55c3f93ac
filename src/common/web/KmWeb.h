#pragma once

// The HTTP download service: GET of one URL into a string, a stream or a file.
//
// Every request is synchronous and uses a client of its own, built for it from
// the settings it is given (THttpConfigArg) or from default settings, and
// released when the request ends. Requests on different threads do not
// interact. Errors: EHttpError for a failed transfer or an error status (see
// THttpClient::Get); an exception thrown by the progress callback reaches the
// caller unchanged.

#include <iosfwd>
#include <memory>
#include <string>

#include "common/web/HttpClient.h"
#include "common/web/HttpConfig.h"
#include "common/web/HttpError.h"

namespace km {

// GET of url with default settings and no progress callback; the body is
// decoded from the locale's character set (LocaleBytesToUtf8), whatever
// charset the response declares. On any error: rethrows it when raiseOnError
// is true, returns "" otherwise (so a failure then looks like an empty body).
std::string DownloadString(const std::string& url, bool raiseOnError);

// GET of url into fileName + ".part" (created anew, a stale one emptied), then
// replaces fileName with it: fileName is deleted and the part file renamed,
// and the outcome of both is ignored, so after a normal return fileName holds
// the complete body only if that succeeded; otherwise the body stays in the
// part file. On any error the error propagates, the part file keeps what was
// received (nothing for an error status) and fileName is untouched; a part
// file that cannot be created raises std::filesystem::filesystem_error before
// any network activity. config is consumed as THttpConfigArg says.
//
// A transfer that breaks off after some of the body arrived (connection reset
// or closed early, a body shorter than announced, a read error) is tried
// again from the original URL, continuing the part file with a range request and If-Range
// (the first answer's ETag, else its Last-Modified date; without either it
// starts again). A 206 that continues the held bytes is appended; a 200
// starts the file again from zero, so two versions are never stitched
// together. The waits between tries follow THttpConfig; during a wait onWork
// is called every 100 ms (sender nullptr, the bytes held), so that it can end
// the download at once by throwing. Refused connections and error statuses
// are not tried again. Each retry is written to the debug log.
// observer (may be empty) sees every block written to the part file, so that
// a digest can be computed while the file arrives.
void DownloadFile(const std::string& url, const std::string& fileName, THttpConfigArg config,
                  const TWorkEvent& onWork, const TBodyObserver& observer = {});

// The same into the folder open as dirFd: the part file name + ".part" is
// made there (never through a link) and renamed to name in that folder;
// every write goes through the file-system seam. Returns the size of the
// body the file holds. A transfer is tried again only when it broke off
// after some of the body had arrived: a connection never made, a time-out
// (no answer within the connect time, or a stall) or a line that breaks
// before the first byte fails at once.
//
// With state, a part file that an earlier download left (state->Held bytes
// of the body, state->Validator the ETag or Last-Modified of its first
// answer) is continued with a range request and If-Range; without a
// validator it is started anew. However the download ends, state then says
// what the part file holds, so that the caller can keep it for a later one.
struct TDownloadState {
    int64_t Held = 0;
    std::string Validator;
};
int64_t DownloadFileAt(const std::string& url, int dirFd, const std::string& name,
                       THttpConfigArg config, const TWorkEvent& onWork,
                       const TBodyObserver& observer = {}, TDownloadState* state = nullptr);

// The request behind both operations above: writes the body of the final
// response to *target from its current position. target must not be null
// (EAssertionFailed "Assertion fehlgeschlagen (common/Km.Web, Zeile 477)").
// No settings object means default settings; config is released as
// THttpConfigArg says when the request ends, whatever happened.
void HttpGetToStream(const std::string& url, std::ostream* target, THttpConfigArg config,
                     const TWorkEvent& onWork);

// A new client for one request, built from *config (which it does not keep),
// with onWork as its progress callback (may be empty). config must not be
// null (EAssertionFailed "Assertion fehlgeschlagen (common/Km.Web, Zeile
// 397)"). Throws EHttpError when a setting cannot be applied.
std::unique_ptr<THttpClient> CreateHttpClient(const THttpConfig* config, const TWorkEvent& onWork);

}  // namespace km
