#include "common/web/CurlSupport.h"

#include <string>

namespace km {

void EnsureCurlGlobalInit() {
    // A function-local static is initialised exactly once, even when several
    // threads start their first download at the same time.
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK) {
        throw CurlError(result);
    }
}

EHttpError CurlError(CURLcode code, const char* details) {
    const std::string fixed = curl_easy_strerror(code);
    std::string message = fixed;
    if (details != nullptr && *details != 0) {
        std::string text = details;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        message += ": " + text;
    }
    return EHttpError(std::move(message), static_cast<int>(code), 0, fixed);
}

EHttpError CurlMultiError(CURLMcode code) {
    // A failure of the multi interface is a failure of the library itself.
    return EHttpError(curl_multi_strerror(code),
                      code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT);
}

}  // namespace km
