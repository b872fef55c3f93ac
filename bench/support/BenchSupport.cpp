#include "support/BenchSupport.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>

extern char** environ;

namespace kmbench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool Run(const std::vector<std::string>& args, const fs::path& cwd) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

double Seconds(const std::function<void()>& f) {
    ::sync();
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long PeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

void ResetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void GenerateTree(const fs::path& root, std::size_t totalBytes, int files, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 4096; ++i) {
        std::string w;
        const int len = 2 + static_cast<int>(rng() % 10);
        for (int j = 0; j < len; ++j) {
            w += static_cast<char>('a' + rng() % 26);
        }
        words.push_back(w + (rng() % 12 == 0 ? "\n" : " "));
    }
    // Mixed sizes: most files small, a few large; scaled to the total.
    std::vector<double> weights(static_cast<std::size_t>(files));
    double sum = 0;
    for (double& w : weights) {
        const auto r = rng() % 100;
        w = r < 70   ? 1 + static_cast<double>(rng() % 8)
            : r < 97 ? 20 + static_cast<double>(rng() % 60)
                     : 400 + static_cast<double>(rng() % 800);
        sum += w;
    }
    std::string buffer;
    for (int i = 0; i < files; ++i) {
        const fs::path file = root / ("dir" + std::to_string(i % 40)) /
                              ("sub" + std::to_string(i % 7)) /
                              ("file" + std::to_string(i) + ".dat");
        fs::create_directories(file.parent_path());
        const auto size = static_cast<std::size_t>(static_cast<double>(totalBytes) *
                                                   weights[static_cast<std::size_t>(i)] / sum);
        buffer.clear();
        while (buffer.size() < size) {
            buffer += words[rng() % words.size()];
        }
        buffer.resize(size);
        std::ofstream(file, std::ios::binary)
            .write(buffer.data(), static_cast<std::streamsize>(size));
    }
}

}  // namespace kmbench
