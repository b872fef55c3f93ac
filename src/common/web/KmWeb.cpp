#include "common/web/KmWeb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include <curl/curl.h>

#include "common/base/KmDebug.h"
#include "common/base/KmException.h"
#include "common/base/LocaleText.h"
#include "common/files/FdStream.h"
#include "common/files/FileSystem.h"
#include "common/files/UniqueFd.h"

namespace km {

std::unique_ptr<THttpClient> CreateHttpClient(const THttpConfig* config, const TWorkEvent& onWork) {
    // Unit and line are the ones this assertion has always reported.
    KmAssert(config != nullptr, "", "common/Km.Web", 397);
    return std::make_unique<THttpClient>(*config, onWork);
}

void HttpGetToStream(const std::string& url, std::ostream* target, THttpConfigArg config,
                     const TWorkEvent& onWork) {
    // Taken over here so that the settings are released when this call ends,
    // whatever happens below.
    const THttpConfigArg settings = std::move(config);
    KmAssert(target != nullptr, "", "common/Km.Web", 477);
    const THttpConfig defaults;
    const THttpConfig* given = settings.Get();
    const std::unique_ptr<THttpClient> client =
        CreateHttpClient(given != nullptr ? given : &defaults, onWork);
    client->Get(url, *target);
}

namespace {

// The failures of a line that may carry the rest on another try. A time-out
// is not one of them: a server that never answered, or stopped sending for
// the whole stall time, is not helped by asking it again.
bool BrokeOff(const EHttpError& error) {
    switch (error.CurlCode()) {
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return error.StatusCode() == 0;
        default:
            return false;
    }
}

// The wait before the n-th try in a row that follows a try without progress.
std::chrono::milliseconds RetryWait(const THttpConfig& settings, int n) {
    return settings.FirstRetryWait * (1 << std::min(n - 1, 3));
}

void Wait(std::chrono::milliseconds wait, int64_t held, const TWorkEvent& onWork) {
    const auto end = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
        if (onWork) {
            onWork(nullptr, TWorkMode::wmRead, held);
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(100)));
    }
}

[[noreturn]] void ThrowFileError(const char* what, const std::string& name, int err) {
    throw std::filesystem::filesystem_error(what, name,
                                            std::error_code(err, std::generic_category()));
}

// Cuts the part file to the bytes of the body it holds.
void CutTo(int fd, int64_t held, const std::string& partName) {
    if (Fs().Ftruncate(fd, static_cast<off_t>(held)) != 0) {
        ThrowFileError("Cannot write file", partName, errno);
    }
}

// What an answer that ended early leaves of value: the body it brought, and
// from a whole answer (200) the validator to continue it by.
void KeepReceived(const TResponseHead& head, int64_t& held, std::string& validator) {
    if (head.Status == 200 || (head.Status == 206 && held > 0)) {
        held = head.BodyEnd;
        if (head.Status == 200) {
            validator = !head.ETag.empty() ? head.ETag : head.LastModified;
        }
    }
}

}  // namespace

int64_t DownloadFileAt(const std::string& url, int dirFd, const std::string& name,
                       THttpConfigArg config, const TWorkEvent& onWork,
                       const TBodyObserver& observer, TDownloadState* state) {
    const THttpConfigArg settingsArg = std::move(config);
    const THttpConfig defaults;
    const THttpConfig& settings = settingsArg.Get() != nullptr ? *settingsArg.Get() : defaults;
    const std::string partName = name + ".part";
    // held: the bytes of the body the part file holds, from its start.
    int64_t held = 0;
    std::string validator;
    // A part file an earlier download left, with the validator of its first
    // answer: continued. Without a validator nothing tells whether the file
    // on the server is still the one it came from.
    const bool continuing = state != nullptr && state->Held > 0 && !state->Validator.empty();
    // Created anew (a stale one emptied) or continued, never written through
    // a link.
    const TUniqueFd partFd(Fs().OpenAt(
        dirFd, partName.c_str(),
        O_WRONLY | O_CREAT | (continuing ? 0 : O_TRUNC) | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!partFd.Valid()) {
        ThrowFileError("Cannot create file", partName, errno);
    }
    if (continuing) {
        struct stat st {};
        held = ::fstat(partFd.Get(), &st) == 0 ? std::min<int64_t>(st.st_size, state->Held) : 0;
        validator = held > 0 ? state->Validator : std::string();
    }
    TFdOutStream part(partFd.Get());
    const std::unique_ptr<THttpClient> client = CreateHttpClient(&settings, onWork);
    int64_t furthest = held;
    int withoutProgress = 0;
    // Whatever ends the download, the caller learns what the part file holds.
    struct TStateReport {
        TDownloadState* state;
        const int64_t& held;
        const std::string& validator;
        ~TStateReport() {
            if (state != nullptr) {
                state->Held = held;
                state->Validator = validator;
            }
        }
    } const report{state, held, validator};
    for (;;) {
        const TResumePoint resume{held, validator};
        TResponseHead head;
        try {
            part.clear();
            part.seekp(held);
            client->Get(url, part, held > 0 ? &resume : nullptr, &head, &observer);
            held = head.BodyEnd;
            break;
        } catch (const EHttpError& error) {
            KeepReceived(head, held, validator);
            // The part file holds exactly the received body, also when this
            // was the last try.
            part.clear();
            part.flush();
            CutTo(partFd.Get(), held, partName);
            // Only a transfer that brought something is worth another try:
            // a line that breaks before any byte of the body is down.
            if (!BrokeOff(error) || std::max(furthest, held) == 0) {
                throw;
            }
            // Progress is bytes beyond the furthest point any try reached: a
            // body that starts again from zero each time makes none.
            const bool progress = held - furthest >= kRetryProgress;
            if (!progress && ++withoutProgress > settings.MaxRetriesWithoutProgress) {
                throw;
            }
            if (progress) {
                withoutProgress = 0;
            }
            if (validator.empty()) {
                held = 0;  // nothing to tell a changed file by: start again
            }
            DebugLog("retry " + url + " at byte " + std::to_string(held) + ": " + error.what(),
                     "DownloadFile");
            furthest = std::max(furthest, held);
            if (withoutProgress > 0) {
                Wait(RetryWait(settings, withoutProgress), held, onWork);
            }
        } catch (...) {
            // Stopped (the progress callback threw): the part file keeps the
            // body received so far, for a later download to continue.
            KeepReceived(head, held, validator);
            part.clear();
            part.flush();
            if (Fs().Ftruncate(partFd.Get(), static_cast<off_t>(held)) != 0) {
                held = 0;
            }
            throw;
        }
    }
    part.flush();
    if (!part || part.Error() != 0) {
        // Never let an incompletely written file take the target's name.
        ThrowFileError("Cannot write file", partName, part.Error() != 0 ? part.Error() : EIO);
    }
    // A body that started again from zero may be shorter than what the part
    // file held before.
    CutTo(partFd.Get(), held, partName);
    // Both results are ignored on purpose: when the old file cannot go or the
    // rename fails, the body stays in the part file and the target as it was.
    Fs().UnlinkAt(dirFd, name.c_str(), 0);
    Fs().RenameAt(dirFd, partName.c_str(), dirFd, name.c_str(), 0);
    return held;
}

void DownloadFile(const std::string& url, const std::string& fileName, THttpConfigArg config,
                  const TWorkEvent& onWork, const TBodyObserver& observer) {
    const THttpConfigArg settings = std::move(config);
    const size_t slash = fileName.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : fileName.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    const TUniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) {
        ThrowFileError("Cannot create file", fileName + ".part", errno);
    }
    THttpConfigPtr copy;
    if (settings.Get() != nullptr) {
        copy = std::make_unique<THttpConfig>(*settings.Get());
    }
    DownloadFileAt(url, dir.Get(), name, std::move(copy), onWork, observer);
}

std::string DownloadString(const std::string& url, bool raiseOnError) {
    try {
        std::ostringstream buffer;
        HttpGetToStream(url, &buffer, nullptr, nullptr);
        return LocaleBytesToUtf8(buffer.view());
    } catch (...) {
        if (raiseOnError) {
            throw;
        }
        return {};
    }
}

}  // namespace km
