#include "common/files/FileOps.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "common/base/TextUtil.h"
#include "common/files/DirTree.h"
#include "common/files/PathUtil.h"
#include "common/files/UniqueFd.h"

namespace km {
namespace {

TUniqueFd OpenDir(const std::string& path) {
    return TUniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Whether the last component of path (without trailing "/") is "." or "..":
// such a name stands for the folder itself or its parent, never for an entry
// that could be deleted, moved or copied by that name.
bool EndsInDotEntry(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view(path)
                                      : std::string_view(path).substr(slash + 1);
    return name == "." || name == "..";
}

bool IsPattern(const std::string& name) {
    return name.find_first_of("*?") != std::string::npos;
}

bool MatchesPattern(const std::string& pattern, const char* name) {
    if (pattern == "*" || pattern == "*.*") {
        return true;
    }
    return ::fnmatch(pattern.c_str(), name, FNM_CASEFOLD) == 0;
}

// path with every link resolved, as far as it exists; the rest as written.
std::string ResolvedPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    return ec ? std::string() : resolved.string();
}

// Whether directory destination (which need not exist yet) is source itself
// or lies inside it: a copy or move there would never end. Asked before
// anything is created, so that a refused operation leaves no folder behind.
bool IsInside(const std::string& destination, const std::string& source) {
    const std::string dst = ResolvedPath(destination);
    const std::string src = ResolvedPath(source);
    return !dst.empty() && !src.empty() && (dst == src || dst.starts_with(AddPathDelimiter(src)));
}

using TEntryOp = bool (*)(int, const char*, int, const char*);

// Copies or moves source (one entry or a pattern) as ShellFileOperation
// describes.
bool PlaceEntries(const std::string& source, const std::string& target, TEntryOp op) {
    const TPathSplit src = SplitPath(source);
    const TUniqueFd srcDir = OpenDir(src.Parent);
    if (!srcDir.Valid()) {
        return false;
    }
    if (IsPattern(src.Name)) {
        if (IsInside(target, src.Parent) || !ForceDirectories(target)) {
            return false;
        }
        const TUniqueFd dstDir = OpenDir(target);
        std::vector<std::string> names;
        bool ok = dstDir.Valid() && ListNames(srcDir.Get(), names, [&](const char* name) {
                      return MatchesPattern(src.Name, name);
                  });
        for (const std::string& name : names) {
            ok = op(srcDir.Get(), name.c_str(), dstDir.Get(), name.c_str()) && ok;
        }
        return ok;
    }
    const bool intoTarget = DirectoryExists(target);
    const TPathSplit dst = intoTarget ? TPathSplit{target, src.Name} : SplitPath(target);
    if (IsInside(dst.Parent, source) || !ForceDirectories(dst.Parent)) {
        return false;
    }
    const TUniqueFd dstDir = OpenDir(dst.Parent);
    return dstDir.Valid() && op(srcDir.Get(), src.Name.c_str(), dstDir.Get(), dst.Name.c_str());
}

bool DeleteEntries(const std::string& source) {
    const TPathSplit src = SplitPath(source);
    if (src.Name.empty() || source == "/") {
        return false;
    }
    const TUniqueFd dir = OpenDir(src.Parent);
    if (!dir.Valid()) {
        return false;
    }
    if (!IsPattern(src.Name)) {
        return DeleteEntryAt(dir.Get(), src.Name.c_str());
    }
    std::vector<std::string> names;
    bool ok = ListNames(dir.Get(), names,
                        [&](const char* name) { return MatchesPattern(src.Name, name); });
    for (const std::string& name : names) {
        ok = DeleteEntryAt(dir.Get(), name.c_str()) && ok;
    }
    return ok;
}

// rename(2) that never replaces an existing entry.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL) {
        return false;
    }
    // A file system without the flag: test, then rename.
    struct stat st {};
    return ::lstat(to.c_str(), &st) != 0 && errno == ENOENT &&
           ::rename(from.c_str(), to.c_str()) == 0;
}

// Copies the regular file source to destination keeping its mode and times.
// The copy is written under destination + kCopyPartSuffix and takes the
// destination's name only when it is complete, so a copy that fails (a full
// disk) leaves no partial file and an existing destination as it was.
bool CopyRegularFile(const std::string& source, const std::string& destination,
                     bool replaceExisting) {
    const TUniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!in.Valid() || ::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    const TPathSplit dst = SplitPath(destination);
    const TUniqueFd dir = OpenDir(dst.Parent);
    if (!dir.Valid()) {
        return false;
    }
    struct stat existing {};
    if (!replaceExisting &&
        ::fstatat(dir.Get(), dst.Name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    const std::string part = CopyPartName(dst.Name);
    bool ok = CopyFileAt(in.Get(), dir.Get(), part.c_str(), st.st_mode, true) == 0;
    if (ok && replaceExisting) {
        ok = ::renameat(dir.Get(), part.c_str(), dir.Get(), dst.Name.c_str()) == 0;
    } else if (ok) {
        ok = ::renameat2(dir.Get(), part.c_str(), dir.Get(), dst.Name.c_str(), RENAME_NOREPLACE) ==
                 0 ||
             (errno == EINVAL &&
              ::fstatat(dir.Get(), dst.Name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0 &&
              errno == ENOENT &&
              ::renameat(dir.Get(), part.c_str(), dir.Get(), dst.Name.c_str()) == 0);
    }
    if (!ok) {
        const int err = errno;
        ::unlinkat(dir.Get(), part.c_str(), 0);
        errno = err;
    }
    return ok;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool ShellFileOperation(const std::string& source, const std::string& target,
                        TShellFileOp operation, bool /*showDialogs*/) {
    if (source.empty() || (operation != FO_DELETE && target.empty()) ||
        SameTextAscii(source, target)) {
        return false;
    }
    const std::string src = RemovePathDelimiter(source);
    const std::string dst = RemovePathDelimiter(target);
    if (EndsInDotEntry(src)) {
        return false;
    }
    switch (operation) {
        case FO_COPY:
            return PlaceEntries(src, dst, CopyEntryAt);
        case FO_MOVE:
            return PlaceEntries(src, dst, MoveEntryAt);
        case FO_DELETE:
            return DeleteEntries(src);
        case FO_RENAME:
            return !IsPattern(SplitPath(src).Name) && RenameNoReplace(src, dst);
    }
    return false;
}

bool DeleteDirectoryTree(const std::string& path) {
    const std::string dir = RemovePathDelimiter(path);
    struct stat st {};
    if (dir.empty() || dir == "/" || EndsInDotEntry(dir) || ::lstat(dir.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return false;
    }
    const TPathSplit split = SplitPath(dir);
    const TUniqueFd parent = OpenDir(split.Parent);
    return parent.Valid() && DeleteEntryAt(parent.Get(), split.Name.c_str());
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) {
        throw EInOutError("Unable to create directory");
    }
    const std::string p = RemovePathDelimiter(path);
    if (p == "/" || DirectoryExists(p)) {
        return true;
    }
    const std::size_t slash = p.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
    if (parent == p) {
        return true;
    }
    if (!parent.empty() && !ForceDirectories(parent)) {
        return false;
    }
    // Someone else may create it meanwhile; what counts is a directory there.
    return ::mkdir(p.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(p));
}

bool MoveFileOrCopy(const std::string& source, const std::string& target, bool replaceExisting) {
    if (source.empty() || target.empty()) {
        return false;
    }
    // A folder never replaces anything, not even an empty folder, as the
    // move it stands in for never does.
    struct stat st {};
    const bool isFolder = ::lstat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const bool moved = replaceExisting && !isFolder ? ::rename(source.c_str(), target.c_str()) == 0
                                                    : RenameNoReplace(source, target);
    if (moved) {
        return true;
    }
    if (!IsRegularFile(source)) {
        return false;
    }
    const std::string destination =
        DirectoryExists(target)
            ? AddPathDelimiter(target) + SplitPath(RemovePathDelimiter(source)).Name
            : target;
    if (!CopyRegularFile(source, destination, replaceExisting)) {
        return false;
    }
    ::unlink(source.c_str());
    return true;
}

std::string CopyPartName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    constexpr std::size_t kMaxName = NAME_MAX - std::char_traits<char>::length(kCopyPartSuffix);
    // A name that leaves no room for the suffix gives up its end instead.
    const std::size_t keep = std::min(path.size() - nameStart, kMaxName);
    return path.substr(0, nameStart + keep) + kCopyPartSuffix;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return content;
}

bool DeleteFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
           ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& oldName, const std::string& newName) {
    if (oldName.empty() || newName.empty()) {
        return false;
    }
    if (RenameNoReplace(oldName, newName)) {
        return true;
    }
    if (errno != EXDEV || !IsRegularFile(oldName)) {
        return false;
    }
    return CopyRegularFile(oldName, newName, false) && ::unlink(oldName.c_str()) == 0;
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return !S_ISLNK(st.st_mode) ? !S_ISDIR(st.st_mode) : !DirectoryExists(path);
}

}  // namespace km
