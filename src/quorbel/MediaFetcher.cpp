#include "quorbel/MediaFetcher.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "common/base/SysError.h"
#include "common/files/Dir.h"
#include "common/files/FileSystem.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"

namespace qb {

namespace {

// No index of real media comes near this.
constexpr int64_t kMaxIndexBytes = 1 << 20;

// Copies at most limit bytes (0: no limit) of in to out, asking shouldStop
// between pieces; the bytes copied, or -1 with result's status and text set.
int64_t CopyBounded(int in, int out, int64_t limit, const std::function<void(int64_t)>& onProgress,
                    const std::function<bool()>& shouldStop, TFetchResult& result) {
    std::vector<char> buffer(1 << 20);
    int64_t copied = 0;
    for (;;) {
        if (shouldStop && shouldStop()) {
            result.Status = TFetchResult::TStatus::Stopped;
            return -1;
        }
        const ssize_t n = km::Fs().Read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result.Text = km::SysErrorMessage(errno);
            return -1;
        }
        if (n == 0) {
            return copied;
        }
        copied += n;
        if (limit > 0 && copied > limit) {
            result.TooLarge = true;
            result.Text = "The answer is larger than " + std::to_string(limit) + " bytes";
            return -1;
        }
        if (const int err = km::WriteAll(out, buffer.data(), static_cast<size_t>(n)); err != 0) {
            result.Text = km::SysErrorMessage(err);
            return -1;
        }
        if (onProgress) {
            onProgress(copied);
        }
    }
}

}  // namespace

TMediaFetcher::TMediaFetcher(std::string dir) : fDir(km::AddPathDelimiter(std::move(dir))) {}

std::string TMediaFetcher::FileOf(const km::TDir& media, const std::string& url) const {
    for (const char* name : {"configinfo.xml", "configinfo.xml.sig"}) {
        if (url.ends_with(std::string("/") + name)) {
            return name;
        }
    }
    // The index is read as a file of the media folder, never through a link,
    // never a device or a pipe, and only so much of it.
    const km::TUniqueFd fd(media.OpenBeneath(kMediaIndexName, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > kMaxIndexBytes) {
        return {};
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t n = km::Fs().Read(fd.Get(), text.data(), text.size());
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::istringstream index(text);
    for (std::string line; std::getline(index, line);) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && line.substr(0, tab) == url) {
            const std::string file = line.substr(tab + 1);
            // Only a plain name in the folder itself.
            if (!file.empty() && file.find('/') == std::string::npos && file != "." &&
                file != "..") {
                return file;
            }
        }
    }
    return {};
}

TFetchResult TMediaFetcher::Fetch(const std::string& url, const km::TDir& dir,
                                  const std::string& name, const TFetchOptions& options,
                                  const std::function<void(int64_t)>& onProgress,
                                  const std::function<bool()>& shouldStop) {
    TFetchResult result;
    if (options.Resume != nullptr) {
        *options.Resume = {};  // nothing to continue: a copy is never cut
    }
    if (shouldStop && shouldStop()) {
        result.Status = TFetchResult::TStatus::Stopped;
        return result;
    }
    const km::TDir media = km::TDir::Open(fDir);
    const std::string file = media.Valid() ? FileOf(media, url) : std::string();
    const km::TUniqueFd in(file.empty() ? -1 : media.OpenBeneath(file, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (!in.Valid() || ::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        result.Text = "not on the media " + fDir + (file.empty() ? "" : ": " + file);
        return result;
    }
    const std::string part = name + ".part";
    km::TUniqueFd out(dir.OpenBeneath(part, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!out.Valid()) {
        result.Text = km::SysErrorMessage(errno) + ": " + dir.PathOf(part);
        return result;
    }
    const int64_t size =
        CopyBounded(in.Get(), out.Get(), options.MaxBytes, onProgress, shouldStop, result);
    if (size < 0 || out.Reset() != 0 ||
        km::Fs().RenameAt(dir.Fd(), part.c_str(), dir.Fd(), name.c_str(), 0) != 0) {
        if (size >= 0) {
            result.Text = km::SysErrorMessage(errno) + ": " + dir.PathOf(name);
        }
        km::Fs().UnlinkAt(dir.Fd(), part.c_str(), 0);
        return result;
    }
    result.Status = TFetchResult::TStatus::Done;
    result.Size = size;
    return result;
}

}  // namespace qb
