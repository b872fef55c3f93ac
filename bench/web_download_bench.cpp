// Compares DownloadFile with `curl -s -o` on the same loopback server and
// body, in one run, and prints the throughput ratio and our peak memory.
//
// Usage: web_download_bench [size in MiB, default 1024] [folder for the
// downloaded files, default $TMPDIR or /tmp]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/web/KmWeb.h"

extern char** environ;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// Serves GET requests on 127.0.0.1 with a generated body of the size the
// path names ("/<bytes>"), one thread per connection.
class BodyServer {
  public:
    BodyServer() : fListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), fBlock(kMiB, 'k') {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fListener < 0 ||
            ::bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fListener, 16) != 0 ||
            ::getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        fPort = ntohs(address.sin_port);
        fThread = std::thread([this] { Accept(); });
    }
    ~BodyServer() {
        fStopping = true;
        ::shutdown(fListener, SHUT_RDWR);
        fThread.join();
        ::close(fListener);
    }
    std::string Url(int64_t size) const {
        return "http://127.0.0.1:" + std::to_string(fPort) + "/" + std::to_string(size);
    }

  private:
    void Accept() {
        for (;;) {
            const int connection = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fStopping) {
                if (connection >= 0) {
                    ::close(connection);
                }
                return;
            }
            if (connection >= 0) {
                std::thread([this, connection] { Serve(connection); }).detach();
            }
        }
    }

    void Serve(int connection) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) {
                ::close(connection);
                return;
            }
            head.append(buffer, static_cast<size_t>(got));
        }
        const size_t slash = head.find(' ') + 2;
        const int64_t size = std::atoll(head.c_str() + slash);
        const std::string header =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Length: " +
            std::to_string(size) + "\r\nConnection: close\r\n\r\n";
        bool ok = SendAll(connection, header.data(), header.size());
        for (int64_t sent = 0; ok && sent < size; sent += kMiB) {
            ok = SendAll(connection, fBlock.data(),
                         static_cast<size_t>(std::min<int64_t>(kMiB, size - sent)));
        }
        ::shutdown(connection, SHUT_WR);
        ::close(connection);
    }

    static bool SendAll(int connection, const char* data, size_t size) {
        while (size > 0) {
            const ssize_t put = ::send(connection, data, size, MSG_NOSIGNAL);
            if (put <= 0) {
                return false;
            }
            data += put;
            size -= static_cast<size_t>(put);
        }
        return true;
    }

    int fListener;
    int fPort = 0;
    std::string fBlock;
    std::atomic<bool> fStopping{false};
    std::thread fThread;
};

double Seconds(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void RunCurl(const std::string& url, const std::string& file) {
    std::vector<std::string> args = {"curl", "-s", "-o", file, url};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start curl");
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("curl failed");
    }
}

void CheckSize(const std::string& file, int64_t size) {
    if (static_cast<int64_t>(std::filesystem::file_size(file)) != size) {
        throw std::runtime_error("wrong size of " + file);
    }
    std::filesystem::remove(file);
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int64_t size = (argc > 1 ? std::atoll(argv[1]) : 1024) * kMiB;
        const char* tmp = std::getenv("TMPDIR");
        const std::string folder = argc > 2 ? argv[2] : (tmp != nullptr && *tmp ? tmp : "/tmp");
        const std::string ours = folder + "/web_download_bench.ours";
        const std::string theirs = folder + "/web_download_bench.curl";
        BodyServer server;

        // A small download first: the peak memory must not grow with the body.
        km::DownloadFile(server.Url(16 * kMiB), ours, nullptr, nullptr);
        CheckSize(ours, 16 * kMiB);
        const long rssSmall = PeakRssKiB();

        // Alternating runs, the best of three each, to damp the noise of a
        // shared machine.
        double best = 1e9;
        double bestCurl = 1e9;
        int64_t lastCount = 0;
        for (int round = 0; round < 3; ++round) {
            bestCurl = std::min(bestCurl, Seconds([&] { RunCurl(server.Url(size), theirs); }));
            CheckSize(theirs, size);
            best = std::min(best, Seconds([&] {
                                km::DownloadFile(server.Url(size), ours, nullptr,
                                                 [&](void*, km::TWorkMode, int64_t count) {
                                                     lastCount = count;
                                                 });
                            }));
            CheckSize(ours, size);
        }
        const long rssLarge = PeakRssKiB();
        const double mib = static_cast<double>(size) / kMiB;
        std::printf("body                 %.0f MiB (loopback, to %s)\n", mib, folder.c_str());
        std::printf("curl -s -o           %.3f s  %.0f MiB/s\n", bestCurl, mib / bestCurl);
        std::printf(
            "km::DownloadFile     %.3f s  %.0f MiB/s  (progress callback on, last count %lld)\n",
            best, mib / best, static_cast<long long>(lastCount));
        std::printf("throughput ratio     %.3f (ours / curl; goal >= 0.95)\n", bestCurl / best);
        std::printf(
            "peak RSS             %.1f MiB after 16 MiB, %.1f MiB after %.0f MiB (goal < 32 MiB)\n",
            rssSmall / 1024.0, rssLarge / 1024.0, mib);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "web_download_bench: %s\n", e.what());
        return 1;
    }
}
