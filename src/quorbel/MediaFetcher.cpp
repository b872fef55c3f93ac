#include "quorbel/MediaFetcher.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "common/base/SysError.h"
#include "common/files/Dir.h"
#include "common/files/DirTree.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"

namespace qb {

TMediaFetcher::TMediaFetcher(std::string dir) : fDir(km::AddPathDelimiter(std::move(dir))) {}

std::string TMediaFetcher::FileOf(const std::string& url) const {
    for (const char* name : {"configinfo.xml", "configinfo.xml.sig"}) {
        if (url.ends_with(std::string("/") + name)) {
            return name;
        }
    }
    std::ifstream index(fDir + kMediaIndexName);
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
    const std::string file = FileOf(url);
    const km::TDir media = km::TDir::Open(fDir);
    const km::TUniqueFd in(
        file.empty() || !media.Valid() ? -1 : media.OpenBeneath(file, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (!in.Valid() || ::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        result.Text = "not on the media " + fDir + (file.empty() ? "" : ": " + file);
        return result;
    }
    if (options.MaxBytes > 0 && st.st_size > options.MaxBytes) {
        result.TooLarge = true;
        result.Text = "The answer is larger than " + std::to_string(options.MaxBytes) + " bytes";
        return result;
    }
    if (const int err = km::CopyFileAt(in.Get(), dir.Fd(), name.c_str(), 0644, true); err != 0) {
        result.Text = km::SysErrorMessage(err) + ": " + dir.PathOf(name);
        return result;
    }
    if (onProgress) {
        onProgress(st.st_size);
    }
    result.Status = TFetchResult::TStatus::Done;
    result.Size = st.st_size;
    return result;
}

}  // namespace qb
