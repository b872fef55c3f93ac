#include "common/web/HttpClient.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <iterator>
#include <ostream>
#include <string_view>

#include "common/base/TextUtil.h"
#include "common/web/CurlSupport.h"

namespace km {

namespace {

// The client's receive buffer; libcurl hands the body over in blocks of at
// most 16 KiB anyway.
constexpr long kReceiveBufferSize = 32 * 1024;
// The first request plus at most this many redirects.
constexpr long kMaxRedirects = 14;
// While nothing arrives, the transfer loop wakes up this often, and the
// progress callback gets a chance to abort at least every
// kAbortCheckInterval + kPollInterval.
constexpr int kPollIntervalMs = 100;
constexpr std::chrono::milliseconds kAbortCheckInterval{100};
// A stall: less than 100 bytes per second for the stall time-out. A server
// that trickles a byte now and then would otherwise hold the update for ever;
// no connection that can carry a package is this slow.
constexpr long kStallBytesPerSecond = 100;
// The status libcurl itself would report for an error status.
constexpr int kHttpReturnedError = CURLE_HTTP_RETURNED_ERROR;
static_assert(EHttpError::kBodyTooLargeCode == CURLE_FILESIZE_EXCEEDED);

template <typename T>
void SetOpt(CURL* easy, CURLoption option, T value) {
    const CURLcode code = curl_easy_setopt(easy, option, value);
    if (code != CURLE_OK) {
        throw CurlError(code);
    }
}

long TlsVersionOf(TSslVersion version) {
    switch (version) {
        case TSslVersion::sslvTLSv1:
            return CURL_SSLVERSION_TLSv1_0;
        case TSslVersion::sslvTLSv1_1:
            return CURL_SSLVERSION_TLSv1_1;
        case TSslVersion::sslvTLSv1_2:
            return CURL_SSLVERSION_TLSv1_2;
        default:
            return CURL_SSLVERSION_DEFAULT;
    }
}

long MaxTlsVersionOf(TSslVersion version) {
    switch (version) {
        case TSslVersion::sslvTLSv1:
            return CURL_SSLVERSION_MAX_TLSv1_0;
        case TSslVersion::sslvTLSv1_1:
            return CURL_SSLVERSION_MAX_TLSv1_1;
        case TSslVersion::sslvTLSv1_2:
            return CURL_SSLVERSION_MAX_TLSv1_2;
        default:
            return CURL_SSLVERSION_MAX_DEFAULT;
    }
}

bool IsTls(TSslVersion version) {
    return version == TSslVersion::sslvTLSv1 || version == TSslVersion::sslvTLSv1_1 ||
           version == TSslVersion::sslvTLSv1_2;
}

// The CURLOPT_SSLVERSION value that allows exactly the versions of the set
// (or the range between its lowest and highest TLS version).
long SslVersionOption(const TSslVersions& versions) {
    if (versions.empty()) {
        throw EHttpError("No SSL/TLS version allowed", CURLE_BAD_FUNCTION_ARGUMENT);
    }
    if (versions.contains(TSslVersion::sslvSSLv23)) {
        return CURL_SSLVERSION_DEFAULT;
    }
    std::set<TSslVersion> tls;
    std::copy_if(versions.begin(), versions.end(), std::inserter(tls, tls.end()), IsTls);
    if (tls.empty()) {
        // SSL 2 and 3 only: libcurl refuses them, and the request fails.
        return *versions.rbegin() == TSslVersion::sslvSSLv3 ? CURL_SSLVERSION_SSLv3
                                                            : CURL_SSLVERSION_SSLv2;
    }
    return TlsVersionOf(*tls.begin()) | MaxTlsVersionOf(*tls.rbegin());
}

bool IsSuccess(long status) {
    return status >= 200 && status <= 299;
}

}  // namespace

struct THttpClient::THandles {
    // Declared before the easy handle, which refers to it, so that it goes last.
    TCurlSlistPtr headers;
    TCurlEasyPtr easy;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

// The state of one Get, shared with libcurl's callbacks. The callbacks are C
// frames: nothing may be thrown through them, so errors are kept here and
// raised once libcurl has returned.
struct THttpClient::TTransfer {
    TTransfer(THttpClient& aClient, std::ostream& aTarget, const TResumePoint* aResume,
              const TBodyObserver* aObserver)
        : client(aClient), target(aTarget), resume(aResume), observer(aObserver) {}

    THttpClient& client;
    std::ostream& target;
    const TResumePoint* resume;
    const TBodyObserver* observer;
    TResponseHead head;
    bool bodyStarted = false;
    int64_t received = 0;
    std::chrono::steady_clock::time_point lastReport = std::chrono::steady_clock::now();
    std::string statusLine;
    long rejectedStatus = 0;
    std::exception_ptr callbackError;

    // Calls the progress callback with the running count; keeps what it throws.
    void ReportProgress() noexcept {
        lastReport = std::chrono::steady_clock::now();
        if (!client.fOnWork || callbackError) {
            return;
        }
        try {
            client.fOnWork(&client, TWorkMode::wmRead, received);
        } catch (...) {
            callbackError = std::current_exception();
        }
    }

    // Judged before the first byte is written: an error body, or a range
    // that does not continue what is held, never reaches the target.
    bool StartBody(long status) noexcept {
        bodyStarted = true;
        if (!IsSuccess(status)) {
            rejectedStatus = status;
            return false;
        }
        if (resume == nullptr) {
            return true;
        }
        if (status == 206 && head.RangeStart == resume->Offset) {
            received = resume->Offset;
            return true;
        }
        if (status == 200) {
            try {
                target.seekp(0);
            } catch (...) {
                return false;
            }
            return static_cast<bool>(target);
        }
        rejectedStatus = status;
        return false;
    }

    // One block of the final response's body; false ends the transfer.
    bool Body(const char* data, size_t size) noexcept {
        long status = 0;
        curl_easy_getinfo(client.fHandles->easy.get(), CURLINFO_RESPONSE_CODE, &status);
        head.Status = status;
        if (!bodyStarted && !StartBody(status)) {
            return false;
        }
        if (client.fMaxBodyBytes > 0 &&
            received + static_cast<int64_t>(size) > client.fMaxBodyBytes) {
            try {
                throw EHttpError(
                    "The answer is larger than " + std::to_string(client.fMaxBodyBytes) + " bytes",
                    CURLE_FILESIZE_EXCEEDED);
            } catch (...) {
                callbackError = std::current_exception();
            }
            return false;
        }
        try {
            target.write(data, static_cast<std::streamsize>(size));
        } catch (...) {
            // A target that throws on failure: libcurl reports a write error.
            return false;
        }
        if (!target) {
            return false;
        }
        if (observer != nullptr && *observer) {
            try {
                (*observer)(received, data, size);
            } catch (...) {
                callbackError = std::current_exception();
                return false;
            }
        }
        received += static_cast<int64_t>(size);
        ReportProgress();
        return !callbackError;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) noexcept {
        const size_t bytes = size * count;
        return static_cast<TTransfer*>(self)->Body(data, bytes) ? bytes : 0;
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) noexcept {
        const size_t bytes = size * count;
        auto* transfer = static_cast<TTransfer*>(self);
        const std::string_view line(data, bytes);
        try {
            if (line.starts_with("HTTP/")) {
                // A new response (after a redirect or an interim answer):
                // what the one before said no longer counts.
                transfer->statusLine = Trim(line);
                transfer->head = TResponseHead{};
            } else if (const std::string value = HeaderValue(line, "etag"); !value.empty()) {
                transfer->head.ETag = value;
            } else if (const std::string modified = HeaderValue(line, "last-modified");
                       !modified.empty()) {
                transfer->head.LastModified = modified;
            } else if (const std::string range = HeaderValue(line, "content-range");
                       !range.empty()) {
                transfer->head.RangeStart = RangeStartOf(range);
            }
        } catch (...) {
            return 0;
        }
        return bytes;
    }

    // The value of a header line named name (lower case), "" for another line.
    static std::string HeaderValue(std::string_view line, std::string_view name) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon != name.size() ||
            !SameTextAscii(line.substr(0, colon), name)) {
            return {};
        }
        return Trim(line.substr(colon + 1));
    }

    // The first byte of "bytes FIRST-LAST/TOTAL", -1 when it is not that.
    static int64_t RangeStartOf(std::string_view value) {
        if (!value.starts_with("bytes ")) {
            return -1;
        }
        int64_t first = 0;
        size_t i = 6;
        for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
            if (first > (INT64_MAX - 9) / 10) {
                return -1;
            }
            first = first * 10 + (value[i] - '0');
        }
        return i > 6 && i < value.size() && value[i] == '-' ? first : -1;
    }
};

THttpClient::THttpClient(const THttpConfig& config, TWorkEvent onWork)
    : fHandles(std::make_unique<THandles>()),
      fOnWork(std::move(onWork)),
      fMaxBodyBytes(config.MaxBodyBytes) {
    EnsureCurlGlobalInit();
    fHandles->easy.reset(curl_easy_init());
    CURL* easy = fHandles->easy.get();
    if (easy == nullptr) {
        throw CurlError(CURLE_FAILED_INIT);
    }
    SetOpt(easy, CURLOPT_ERRORBUFFER, fHandles->errorBuffer);
    SetOpt(easy, CURLOPT_NOSIGNAL, 1L);
    SetOpt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    SetOpt(easy, CURLOPT_HTTPGET, 1L);
    // Always direct: an empty proxy overrides every proxy variable of the
    // environment.
    SetOpt(easy, CURLOPT_PROXY, "");
    SetOpt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    SetOpt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(config.ConnectTimeout.count()));
    if (config.StallTimeout.count() > 0) {
        SetOpt(easy, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
        SetOpt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(config.StallTimeout.count()));
    }
    // The body is stored as received: ask for it without content coding, and
    // let libcurl decode nothing (CURLOPT_ACCEPT_ENCODING stays unset).
    curl_slist* headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
    if (headers == nullptr) {
        throw CurlError(CURLE_OUT_OF_MEMORY);
    }
    fHandles->headers.reset(headers);
    SetOpt(easy, CURLOPT_HTTPHEADER, headers);

    if (!config.UserAgent.empty()) {
        SetOpt(easy, CURLOPT_USERAGENT, config.UserAgent.c_str());
    }
    SetOpt(easy, CURLOPT_FOLLOWLOCATION, config.HandleRedirects ? 1L : 0L);
    SetOpt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);

    const char* protocols = config.UseSsl ? "http,https" : "http";
    SetOpt(easy, CURLOPT_PROTOCOLS_STR, protocols);
    SetOpt(easy, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    if (config.UseSsl) {
        SetOpt(easy, CURLOPT_SSLVERSION, SslVersionOption(config.SslVersions));
        // Deliberately no verification (no trust store, no host-name check):
        // the vendor's update servers are accepted with whatever certificate
        // they present, self-signed or expired included. The server name is
        // still sent (SNI), so name-based virtual hosts work.
        SetOpt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        SetOpt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }

    if (!config.AuthenticationUsername.empty()) {
        // Basic alone makes libcurl send the credentials with the first
        // request instead of waiting for a challenge.
        SetOpt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        SetOpt(easy, CURLOPT_USERNAME, config.AuthenticationUsername.c_str());
        SetOpt(easy, CURLOPT_PASSWORD, config.AuthenticationPassword.c_str());
    }

    SetOpt(easy, CURLOPT_WRITEFUNCTION, &TTransfer::OnBody);
    SetOpt(easy, CURLOPT_HEADERFUNCTION, &TTransfer::OnHeader);
}

THttpClient::~THttpClient() = default;

namespace {

// Keeps an easy handle in a multi handle for the duration of one transfer.
class TMultiAttachment {
  public:
    TMultiAttachment(CURLM* multi, CURL* easy) : fMulti(multi), fEasy(easy) {
        const CURLMcode code = curl_multi_add_handle(multi, easy);
        if (code != CURLM_OK) {
            throw CurlMultiError(code);
        }
    }
    ~TMultiAttachment() { curl_multi_remove_handle(fMulti, fEasy); }
    TMultiAttachment(const TMultiAttachment&) = delete;
    TMultiAttachment& operator=(const TMultiAttachment&) = delete;

  private:
    CURLM* fMulti;
    CURL* fEasy;
};

}  // namespace

void THttpClient::Get(const std::string& url, std::ostream& target, const TResumePoint* resume,
                      TResponseHead* head, const TBodyObserver* observer) {
    CURL* easy = fHandles->easy.get();
    TTransfer transfer{*this, target, resume, observer};
    fHandles->errorBuffer[0] = 0;
    SetOpt(easy, CURLOPT_URL, url.c_str());
    // Only the request of this Get asks for a range.
    TCurlSlistPtr headers(curl_slist_append(nullptr, "Accept-Encoding: identity"));
    if (resume != nullptr && headers) {
        curl_slist* more = curl_slist_append(
            headers.get(), ("Range: bytes=" + std::to_string(resume->Offset) + "-").c_str());
        if (more != nullptr && !resume->Validator.empty()) {
            more = curl_slist_append(more, ("If-Range: " + resume->Validator).c_str());
        }
        if (more == nullptr) {
            headers.reset();
        }
    }
    if (!headers) {
        throw CurlError(CURLE_OUT_OF_MEMORY);
    }
    SetOpt(easy, CURLOPT_HTTPHEADER, headers.get());
    fHandles->headers = std::move(headers);
    // Whatever happens below, the caller learns what the server said.
    struct THeadReport {
        const TTransfer& transfer;
        TResponseHead* head;
        ~THeadReport() {
            if (head != nullptr) {
                *head = transfer.head;
            }
        }
    } const report{transfer, head};
    SetOpt(easy, CURLOPT_WRITEDATA, &transfer);
    SetOpt(easy, CURLOPT_HEADERDATA, &transfer);

    // The multi interface lets the transfer loop run an abort check while the
    // server sends nothing; the connection cache lives and dies with it, so no
    // connection outlives this call.
    CURLcode result = CURLE_OK;
    {
        TCurlMultiPtr multi(curl_multi_init());
        if (!multi) {
            throw CurlError(CURLE_OUT_OF_MEMORY);
        }
        TMultiAttachment attachment(multi.get(), easy);
        for (;;) {
            int running = 0;
            CURLMcode code = curl_multi_perform(multi.get(), &running);
            if (code != CURLM_OK) {
                throw CurlMultiError(code);
            }
            bool done = false;
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    result = message->data.result;
                    done = true;
                }
            }
            if (done || transfer.callbackError) {
                break;
            }
            code = curl_multi_poll(multi.get(), nullptr, 0, kPollIntervalMs, nullptr);
            if (code != CURLM_OK) {
                throw CurlMultiError(code);
            }
            if (std::chrono::steady_clock::now() - transfer.lastReport >= kAbortCheckInterval) {
                transfer.ReportProgress();
                if (transfer.callbackError) {
                    break;
                }
            }
        }
    }

    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &transfer.head.Status);
    transfer.head.BodyEnd = transfer.bodyStarted                               ? transfer.received
                            : resume != nullptr && transfer.head.Status == 206 ? resume->Offset
                                                                               : 0;
    if (transfer.callbackError) {
        std::rethrow_exception(transfer.callbackError);
    }
    long status = transfer.rejectedStatus;
    if (status == 0 && result == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (IsSuccess(status)) {
            status = 0;
        }
    }
    if (status != 0) {
        throw EHttpError(transfer.statusLine.empty() ? "HTTP status " + std::to_string(status)
                                                     : transfer.statusLine,
                         kHttpReturnedError, static_cast<int>(status));
    }
    if (result != CURLE_OK) {
        throw CurlError(result, fHandles->errorBuffer);
    }
    if (!target.flush()) {
        throw CurlError(CURLE_WRITE_ERROR);
    }
}

}  // namespace km
