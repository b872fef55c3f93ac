#include "common/base/TrustedPath.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "common/base/KmDebug.h"

namespace km {
namespace {

// The deepest existing folder of path, links resolved; "" when none.
// complete tells whether that is all of path.
std::string ExistingPart(std::string path, bool& complete) {
    complete = true;
    while (!path.empty()) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
        complete = false;
        const size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            return "/";
        }
        path.resize(slash);
    }
    return {};
}

bool Fails(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
    return false;
}

}  // namespace

bool IsTrustedPath(const std::string& path, bool parentOnly, std::string* why) {
    if (path.empty() || path.front() != '/') {
        return Fails(why, "it is not an absolute path");
    }
    bool whole = false;
    const std::string existing = ExistingPart(path, whole);
    if (existing.empty()) {
        return Fails(why, "no part of it exists");
    }
    std::vector<std::string> prefixes{"/"};
    for (size_t slash = existing.find('/', 1); slash != std::string::npos;
         slash = existing.find('/', slash + 1)) {
        prefixes.push_back(existing.substr(0, slash));
    }
    if (existing != "/") {
        prefixes.push_back(existing);
    }
    const uid_t me = ::geteuid();
    for (size_t i = 0; i < prefixes.size(); ++i) {
        const std::string& prefix = prefixes[i];
        struct stat st {};
        if (::lstat(prefix.c_str(), &st) != 0) {
            return Fails(why, prefix + " cannot be examined");
        }
        if (st.st_uid != 0 && st.st_uid != me) {
            return Fails(why, prefix + " belongs to another account");
        }
        const bool last = i + 1 == prefixes.size();
        // Below a sticky folder nobody can rename or remove what is not
        // theirs. Where the rest of the path is still to be made, anybody
        // could make it first: then no folder may be writable by others.
        const bool stickyParent = (st.st_mode & S_ISVTX) != 0 && (!last || (parentOnly && whole));
        if ((st.st_mode & 0022) != 0 && !stickyParent) {
            return Fails(why, prefix + " may be written by other accounts");
        }
    }
    return true;
}

std::optional<std::string> TrustedEnvPath(const char* name, bool parentOnly) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0) {
        return std::nullopt;
    }
    std::string why;
    if (IsTrustedPath(value, parentOnly, &why)) {
        return std::string(value);
    }
    static std::mutex mutex;
    static std::set<std::string> reported;
    const std::lock_guard lock(mutex);
    if (reported.insert(std::string(name) + "=" + value).second) {
        DebugWarning(std::string(name) + "=" + value + " is not used: " + why, "TrustedEnvPath");
    }
    return std::nullopt;
}

std::string PasswordHomeDir() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && *found->pw_dir != 0) {
        return found->pw_dir;
    }
    return "/";
}

}  // namespace km
