#include "common/files/PathUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>

#include "common/base/KmException.h"
#include "common/base/SysError.h"
#include "common/base/TrustedPath.h"
#include "common/files/Dir.h"
#include "common/files/FileSystem.h"

namespace km {
namespace {

// The process-wide generator behind the working-directory names.
int DrawSharedDigit() {
    static std::mutex mutex;
    static std::mt19937 engine(static_cast<std::mt19937::result_type>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> digit(0, 8);
    const std::lock_guard lock(mutex);
    return digit(engine);
}

// The first count code points of a UTF-8 text (bytes that are not UTF-8 count
// as one character each).
std::string FirstCharacters(const std::string& text, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < count && pos < text.size(); ++n) {
        ++pos;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) {
            ++pos;
        }
    }
    return text.substr(0, pos);
}

}  // namespace

std::string GetTempBaseDir() {
    // A TMPDIR that another account could change is not used: the private
    // folder below it would be theirs to swap.
    std::string dir = TrustedEnvPath("TMPDIR", true).value_or("/tmp");
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

std::string CreateTempWorkDir(const std::string& prefix, const std::string& baseDir) {
    return CreateTempWorkDir(prefix, baseDir, DrawSharedDigit);
}

namespace {

std::string PrivateTempDirName() {
    const std::string base = GetTempBaseDir();
    return base + (base == "/" ? "" : "/") + "kelmirath-" + std::to_string(::geteuid());
}

// Another account may have made the name first, as a link or a folder of
// its own: such a folder is never used.
void CheckPrivateTempDir(const std::string& dir, const struct stat& st) {
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
        throw Exception("The private temporary folder " + dir +
                        " is not a folder of this user that only this user may enter");
    }
}

void MakePrivateTempDir(const std::string& dir) {
    if (Fs().MkdirAt(AT_FDCWD, dir.c_str(), 0700) != 0 && errno != EEXIST) {
        throw Exception("Cannot create the private temporary folder " + dir + ": " +
                        SysErrorMessage(errno));
    }
}

}  // namespace

std::string GetPrivateTempDir() {
    const std::string dir = PrivateTempDirName();
    MakePrivateTempDir(dir);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        throw Exception("Cannot use the private temporary folder " + dir + ": " +
                        SysErrorMessage(errno));
    }
    CheckPrivateTempDir(dir, st);
    return dir + "/";
}

TDir OpenPrivateTempDir() {
    const std::string dir = PrivateTempDirName();
    MakePrivateTempDir(dir);
    TDir held = TDir::Open(dir, true);
    struct stat st {};
    if (!held.Valid() && ::lstat(dir.c_str(), &st) == 0) {
        CheckPrivateTempDir(dir, st);  // a link, or not a folder
    }
    if (!held.Valid() || held.Stat(st) != 0) {
        throw Exception("Cannot use the private temporary folder " + dir + ": " +
                        SysErrorMessage(errno));
    }
    CheckPrivateTempDir(dir, st);
    return held;
}

std::string WorkDirName(const std::string& prefix, const std::function<int()>& drawDigit) {
    std::string name = FirstCharacters(prefix, 3);
    for (int i = 0; i < 5; ++i) {
        name += static_cast<char>('0' + (drawDigit ? drawDigit() : DrawSharedDigit()));
    }
    return name;
}

std::string CreateTempWorkDir(const std::string& prefix, const std::string& baseDir,
                              const std::function<int()>& drawDigit) {
    const std::string base = AddPathDelimiter(baseDir.empty() ? GetPrivateTempDir() : baseDir);
    const std::string stem = base + FirstCharacters(prefix, 3);
    for (int attempt = 0; attempt < kTempWorkDirTries; ++attempt) {
        const std::string name = base + WorkDirName(prefix, drawDigit);
        if (Fs().MkdirAt(AT_FDCWD, name.c_str(), 0700) == 0) {
            return name + "/";
        }
        if (errno != EEXIST) {
            throw Exception("Cannot create a working folder " + name + ": " +
                            SysErrorMessage(errno));
        }
    }
    throw Exception("No free working folder name below " + stem + " after " +
                    std::to_string(kTempWorkDirTries) + " tries");
}

std::string AddPathDelimiter(const std::string& path) {
    if (path.empty() || path.back() == '/') {
        return path;
    }
    return path + "/";
}

std::string RemovePathDelimiter(const std::string& path) {
    if (path.size() > 1 && path.back() == '/') {
        return path.substr(0, path.size() - 1);
    }
    return path;
}

std::string ExtractUrlFileName(const std::string& url) {
    const std::size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

}  // namespace km
