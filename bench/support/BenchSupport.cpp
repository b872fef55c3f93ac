#include "support/BenchSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

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

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

pid_t StartStaticServer(const fs::path& root, int port, const std::string& probePath) {
    const std::string portText = std::to_string(port);
    const std::string rootText = root.string();
    const char* argv[] = {"python3",   "-m",          "http.server",    portText.c_str(), "--bind",
                          "127.0.0.1", "--directory", rootText.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    posix_spawnp(&pid, "python3", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 100; ++i) {
        if (Run({"curl", "-sf", "-o", "/dev/null", "http://127.0.0.1:" + portText + probePath},
                root)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pid;
}

}  // namespace kmbench
