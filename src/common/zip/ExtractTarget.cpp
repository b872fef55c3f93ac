#include "common/zip/ExtractTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/files/FileSystem.h"

namespace km {
namespace {

std::vector<std::string_view> SplitComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::optional<std::string> SafeEntryPath(std::string_view name) {
    std::string path(name);
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (path.starts_with('/') || (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':')) {
        return std::nullopt;
    }
    std::string result;
    for (const std::string_view part : SplitComponents(path)) {
        if (part == "..") {
            return std::nullopt;
        }
        if (part == ".") {
            continue;
        }
        if (!result.empty()) {
            result += '/';
        }
        result += part;
    }
    return result;
}

int TExtractTarget::Open(int dirFd) {
    fNames.clear();
    fFolders.clear();
    fRoot.Reset(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    return fRoot.Valid() ? 0 : errno;
}

int TExtractTarget::Folder(const std::string& relPath) {
    const std::vector<std::string_view> parts = SplitComponents(relPath);
    std::size_t keep = 0;
    while (keep < parts.size() && keep < fNames.size() && parts[keep] == fNames[keep]) {
        ++keep;
    }
    fNames.resize(keep);
    fFolders.resize(keep);
    for (std::size_t i = keep; i < parts.size(); ++i) {
        const int parent = fFolders.empty() ? fRoot.Get() : fFolders.back().Get();
        const std::string name(parts[i]);
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        TUniqueFd folder(::openat(parent, name.c_str(), kFlags));
        if (!folder.Valid() && errno == ENOENT) {
            if (Fs().MkdirAt(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
                return -1;
            }
            folder.Reset(::openat(parent, name.c_str(), kFlags));
        }
        if (!folder.Valid()) {
            return -1;
        }
        fNames.push_back(name);
        fFolders.push_back(std::move(folder));
    }
    return fFolders.empty() ? fRoot.Get() : fFolders.back().Get();
}

int TExtractTarget::CreateFile(int folder, const std::string& name, mode_t mode) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = Fs().OpenAt(folder, name.c_str(), kFlags, mode);
    if (fd < 0 && errno == EEXIST) {
        if (Fs().UnlinkAt(folder, name.c_str(), 0) != 0) {
            return -1;
        }
        fd = Fs().OpenAt(folder, name.c_str(), kFlags, mode);
    }
    return fd;
}

}  // namespace km
