#include "common/files/ExecuteFile.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "common/base/JclWin32Error.h"
#include "common/base/KmException.h"

extern char** environ;

namespace km {
namespace {

constexpr const char* kOpener = "xdg-open";
constexpr const char* kShellExecuteError = "ShellExecute Error";

struct FileActionsDeleter {
    void operator()(posix_spawn_file_actions_t* actions) const {
        posix_spawn_file_actions_destroy(actions);
        delete actions;
    }
};
struct SpawnAttrDeleter {
    void operator()(posix_spawnattr_t* attr) const {
        posix_spawnattr_destroy(attr);
        delete attr;
    }
};
using FileActions = std::unique_ptr<posix_spawn_file_actions_t, FileActionsDeleter>;
using SpawnAttr = std::unique_ptr<posix_spawnattr_t, SpawnAttrDeleter>;

// The result of a spawn: the child's pid, or the error code.
struct SpawnResult {
    pid_t pid = -1;
    int error = 0;
};

SpawnResult Spawn(const std::string& program, bool searchPath, const std::vector<std::string>& args,
                  const std::string& workingDir) {
    auto actions = FileActions(new posix_spawn_file_actions_t);
    if (int rc = posix_spawn_file_actions_init(actions.get()); rc != 0) {
        actions.release();  // nothing to destroy
        return {-1, rc};
    }
    auto attr = SpawnAttr(new posix_spawnattr_t);
    if (int rc = posix_spawnattr_init(attr.get()); rc != 0) {
        attr.release();
        return {-1, rc};
    }
    int rc = posix_spawn_file_actions_addchdir_np(actions.get(), workingDir.c_str());
    if (rc == 0) {
        rc = posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (rc == 0) {
        rc = posix_spawnattr_setsigmask(attr.get(), &none);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setsigdefault(attr.get(), &all);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (rc != 0) {
        return {-1, rc};
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    rc = searchPath
             ? posix_spawnp(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), environ)
             : posix_spawn(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), environ);
    if (rc != 0) {
        return {-1, rc};
    }
    return {pid, 0};
}

int WaitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// A child nobody waits for is reaped by a thread of its own, so it never
// stays behind as a zombie; a process-wide SIGCHLD setting would take the
// exit codes from every other waitpid in the process.
void ReapInBackground(pid_t pid) {
    std::thread([pid] { WaitForExit(pid); }).detach();
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& parameters) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (size_t i = 0; i < parameters.size();) {
        const char c = parameters[i];
        if (c == '\\') {
            size_t count = 0;
            while (i < parameters.size() && parameters[i] == '\\') {
                ++count;
                ++i;
            }
            inArgument = true;
            if (i < parameters.size() && parameters[i] == '"') {
                current.append(count / 2, '\\');
                if (count % 2 == 1) {
                    current += '"';
                    ++i;
                }
                // An even count leaves the quote for the next round.
            } else {
                current.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inArgument) {
                args.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
        } else {
            current += c;
            inArgument = true;
        }
        ++i;
    }
    if (inArgument) {
        args.push_back(std::move(current));
    }
    return args;
}

int ExecuteFile(const std::string& aFileName, const std::string& aParameters, bool bWaitForExit,
                bool bRaiseErrors, int /*aShowCommand*/) {
    struct stat info {};
    if (aFileName.empty() || stat(aFileName.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
        if (bRaiseErrors) {
            throw Exception("ShellExecute Error: Could not find file \"" + aFileName + "\"");
        }
        return -1;
    }
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(aFileName, ec);
    const std::string workingDir = path.parent_path().string();

    SpawnResult started;
    if (S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0) {
        std::vector<std::string> args{path.string()};
        for (auto& arg : SplitCommandLine(aParameters)) {
            args.push_back(std::move(arg));
        }
        started = Spawn(path.string(), false, args, workingDir);
    } else {
        started = Spawn(kOpener, true, {kOpener, path.string()}, workingDir);
        if (started.error == ENOENT || started.error == EACCES) {
            started.error = ENOEXEC;
        }
    }
    if (started.error != 0) {
        if (bRaiseErrors) {
            throw EJclWin32Error(started.error, kShellExecuteError);
        }
        return -1;
    }
    if (bWaitForExit) {
        return WaitForExit(started.pid);
    }
    ReapInBackground(started.pid);
    return 0;
}

}  // namespace km
