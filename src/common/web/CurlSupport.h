#pragma once

// What the HTTP client needs of libcurl besides the transfer itself: one owner
// per libcurl handle, the process-wide initialisation, and the translation of
// libcurl's codes into our errors. Only the client's own sources include this.

#include <curl/curl.h>

#include <memory>

#include "common/web/HttpError.h"

namespace km {

struct TCurlEasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct TCurlMultiDeleter {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct TCurlSlistDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using TCurlEasyPtr = std::unique_ptr<CURL, TCurlEasyDeleter>;
using TCurlMultiPtr = std::unique_ptr<CURLM, TCurlMultiDeleter>;
using TCurlSlistPtr = std::unique_ptr<curl_slist, TCurlSlistDeleter>;

// Initialises libcurl once per process; any thread may call it, any number of
// times. Throws EHttpError when libcurl cannot be initialised.
void EnsureCurlGlobalInit();

// The error for a failed libcurl call: libcurl's text for the code, followed by
// the details of the handle's error buffer when there are any.
EHttpError CurlError(CURLcode code, const char* details = nullptr);
EHttpError CurlMultiError(CURLMcode code);

}  // namespace km
