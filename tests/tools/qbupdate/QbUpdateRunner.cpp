#include "QbUpdateRunner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "common/registry/KmRegistry.h"
#include "quorbel/Product.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"

namespace qbtest {
namespace {

namespace fs = std::filesystem;

constexpr auto kDeadline = std::chrono::seconds(60);

}  // namespace

TExit RunQbUpdate(const std::vector<std::string>& args, std::chrono::milliseconds signalAfter) {
    const fs::path out = fs::temp_directory_path() / ("qbupdate-out-" + std::to_string(getpid()));
    const fs::path err = out.string() + ".err";
    const pid_t child = ::fork();
    if (child == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(QBUPDATE_PATH)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(QBUPDATE_PATH, argv.data());
        ::_exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    bool signalled = false;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (signalAfter.count() > 0 && !signalled && elapsed >= signalAfter) {
            ::kill(child, SIGTERM);
            signalled = true;
        }
        if (elapsed > kDeadline) {
            ADD_FAILURE() << "qbupdate did not end within the deadline";
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    TExit result;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = kmtest::ReadTextFile(out);
    result.err = kmtest::ReadTextFile(err);
    fs::remove(out);
    fs::remove(err);
    return result;
}

TExit RunOnWorkstation(const fs::path& root, const fs::path& data,
                       const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& values) {
    const kmtest::ScopedEnv registry("KM_REGISTRY_DIR", (root / "registry").string());
    const kmtest::ScopedEnv tmp("TMPDIR", (root / "tmp").string());
    if (!fs::exists(root)) {
        kmtest::MakeTree(root / "install", {{"app.bin", "v1"}});
        fs::create_directories(root / "tmp");
        kmtest::MakeTree(data / "config", {{"dev/d.txt", "old"}});
        EXPECT_TRUE(
            km::WriteRegString("InstallDir", (root / "install").string(), qb::kProductRegistryKey));
        EXPECT_TRUE(km::WriteRegString("DatabaseDir", data.string(), qb::kProductRegistryKey));
        for (const auto& [name, value] : values) {
            EXPECT_TRUE(km::WriteRegString(name, value, qb::kProductRegistryKey));
        }
    }
    return RunQbUpdate(args);
}

}  // namespace qbtest
