#include "quorbel/PartialDownload.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/crypto/Crypto.h"
#include "common/files/DirTree.h"
#include "common/files/FileSystem.h"
#include "common/files/UniqueFd.h"

namespace qb {
namespace {

constexpr const char* kFolder = "partial";
constexpr const char* kMetaSuffix = ".meta";
constexpr const char* kPartSuffix = ".part";
constexpr size_t kMaxValidator = 1024;

// The private temporary folder is this user's alone; its "partial" folder
// is made there, and used only when it is this user's real folder.
km::TDir HoldFolder(const km::TDir& privateTemp) {
    if (!privateTemp.Valid()) {
        return {};
    }
    if (km::Fs().MkdirAt(privateTemp.Fd(), kFolder, 0700) != 0 && errno != EEXIST) {
        return {};
    }
    km::TDir folder = privateTemp.Sub(kFolder);
    struct stat st {};
    // Shared while a download uses it: the clean-up of another run of this
    // user (for another product) waits for a folder nobody uses.
    if (!folder.Valid() || folder.Stat(st) != 0 || st.st_uid != ::geteuid() ||
        (st.st_mode & 0077) != 0 || ::flock(folder.Fd(), LOCK_SH | LOCK_NB) != 0) {
        return {};
    }
    return folder;
}

std::string ReadSmall(const km::TDir& folder, const std::string& name) {
    const km::TUniqueFd fd(folder.OpenBeneath(name, O_RDONLY | O_NONBLOCK));
    if (!fd.Valid()) {
        return {};
    }
    char buffer[kMaxValidator];
    const ssize_t n = km::Fs().Read(fd.Get(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string PartialDownloadKey(const std::string& project, const std::string& type,
                               const std::string& url, const std::string& identity) {
    km::TSha256 sha;
    const std::string text = project + "\n" + type + "\n" + url + "\n" + identity;
    sha.Update(text.data(), text.size());
    return type + "-" + sha.FinalHex().substr(0, 32);
}

TPartialDownload::TPartialDownload(const km::TDir& privateTemp, const std::string& key)
    : fParent(privateTemp.Dup()), fFolder(HoldFolder(privateTemp)), fKey(key) {
    if (!fFolder.Valid()) {
        return;
    }
    const std::string validator = ReadSmall(fFolder, fKey + kMetaSuffix);
    struct stat st {};
    if (!validator.empty() && fFolder.StatAt(fKey + kPartSuffix, st) == 0 && S_ISREG(st.st_mode)) {
        fState.Held = st.st_size;
        fState.Validator = validator;
    }
}

TPartialDownload::~TPartialDownload() {
    RemoveIfEmpty();
}

void TPartialDownload::Finish(bool completed) {
    if (!fFolder.Valid()) {
        return;
    }
    const std::string meta = fKey + kMetaSuffix;
    if (completed || fState.Held <= 0 || fState.Validator.empty() ||
        fState.Validator.size() >= kMaxValidator) {
        km::Fs().UnlinkAt(fFolder.Fd(), meta.c_str(), 0);
        if (!completed) {
            km::Fs().UnlinkAt(fFolder.Fd(), (fKey + kPartSuffix).c_str(), 0);
        }
        return;
    }
    const std::string temp = meta + ".new";
    km::Fs().UnlinkAt(fFolder.Fd(), temp.c_str(), 0);
    const km::TUniqueFd fd(km::Fs().OpenAt(
        fFolder.Fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid() ||
        km::WriteAll(fd.Get(), fState.Validator.data(), fState.Validator.size()) != 0 ||
        km::Fs().RenameAt(fFolder.Fd(), temp.c_str(), fFolder.Fd(), meta.c_str(), 0) != 0) {
        km::Fs().UnlinkAt(fFolder.Fd(), temp.c_str(), 0);
        km::Fs().UnlinkAt(fFolder.Fd(), (fKey + kPartSuffix).c_str(), 0);
    }
}

void TPartialDownload::RemoveIfEmpty() {
    struct stat held {};
    struct stat named {};
    if (fParent.Valid() && fFolder.Stat(held) == 0 && fParent.StatAt(kFolder, named) == 0 &&
        km::SameFile(held, named)) {
        km::Fs().UnlinkAt(fParent.Fd(), kFolder, AT_REMOVEDIR);  // fails while it holds any
    }
}

void RemoveStalePartialDownloads(const km::TDir& privateTemp, std::chrono::hours maxAge) {
    const km::TDir folder = privateTemp.Valid() ? privateTemp.Sub(kFolder) : km::TDir();
    if (!folder.Valid() || ::flock(folder.Fd(), LOCK_EX | LOCK_NB) != 0) {
        return;  // none, or a download of another run uses it
    }
    std::vector<std::string> names;
    km::ListNames(folder.Fd(), names);
    const auto has = [&names](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    const auto now = std::chrono::system_clock::now();
    for (const std::string& name : names) {
        // Only a part with its validator is worth keeping: anything else is
        // what a run could not finish deleting.
        const bool part = name.ends_with(kPartSuffix) &&
                          has(name.substr(0, name.size() - std::strlen(kPartSuffix)) + kMetaSuffix);
        const bool meta = name.ends_with(kMetaSuffix) &&
                          has(name.substr(0, name.size() - std::strlen(kMetaSuffix)) + kPartSuffix);
        struct stat st {};
        const bool old = folder.StatAt(name, st) == 0 &&
                         now - std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec) >= maxAge;
        if ((!part && !meta) || old) {
            km::DeleteEntryAt(folder.Fd(), name.c_str());
        }
    }
    km::Fs().UnlinkAt(privateTemp.Fd(), kFolder, AT_REMOVEDIR);  // fails while it holds any
}

}  // namespace qb
