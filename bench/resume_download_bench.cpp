// A package from nginx through a relay that cuts the connection every 20 MiB,
// against the same package through the same relay uncut: what resuming costs.
// Prints both times, the ratio and our peak memory.
//
// Usage: resume_download_bench [size in MiB, default 200] [cut every MiB, default 20]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "common/web/KmWeb.h"
#include "support/FaultRelay.h"
#include "support/NginxServer.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double Download(const std::string& url, const std::string& file, int64_t size) {
    const auto start = std::chrono::steady_clock::now();
    km::DownloadFile(url, file, nullptr, nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (static_cast<int64_t>(std::filesystem::file_size(file)) != size) {
        throw std::runtime_error("wrong size of " + file);
    }
    std::filesystem::remove(file);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int64_t size = (argc > 1 ? std::atoll(argv[1]) : 200) * kMiB;
        const int64_t cutEvery = (argc > 2 ? std::atoll(argv[2]) : 20) * kMiB;
        kmtest::NginxServer nginx;
        if (!nginx.Available()) {
            throw std::runtime_error(nginx.Problem());
        }
        {
            std::mt19937_64 random(7);
            std::string block(static_cast<size_t>(kMiB), '\0');
            for (char& c : block) {
                c = static_cast<char>(random() & 0xff);
            }
            std::ofstream out(nginx.Root() / "package.zip", std::ios::binary);
            for (int64_t written = 0; written < size; written += kMiB) {
                block[0] = static_cast<char>(written / kMiB);  // no two blocks alike
                out.write(block.data(), static_cast<std::streamsize>(kMiB));
            }
        }
        const char* tmp = std::getenv("TMPDIR");
        const std::string file =
            std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/resume_download_bench.zip";
        kmtest::FaultRelay uncut(nginx.HttpPort(), {});
        kmtest::FaultRelay cut(nginx.HttpPort(), {}, cutEvery);
        const auto url = [](const kmtest::FaultRelay& relay) {
            return "http://127.0.0.1:" + std::to_string(relay.Port()) + "/package.zip";
        };
        Download(url(uncut), file, size);  // warm the page cache
        // Alternating runs, the best of seven each: nginx, the relay and the
        // download share two cores, and one run is a fifth of a second.
        const long rssBefore = PeakRssKiB();
        double bestUncut = 1e9;
        double bestCut = 1e9;
        for (int round = 0; round < 7; ++round) {
            bestUncut = std::min(bestUncut, Download(url(uncut), file, size));
            bestCut = std::min(bestCut, Download(url(cut), file, size));
        }
        const long rssAfter = PeakRssKiB();
        std::printf("package              %lld MiB from nginx through a relay\n",
                    static_cast<long long>(size / kMiB));
        std::printf("uncut                %.3f s\n", bestUncut);
        std::printf("cut every %lld MiB    %.3f s  (%d cuts over the runs)\n",
                    static_cast<long long>(cutEvery / kMiB), bestCut, cut.Cuts());
        std::printf("time ratio           %.3f (cut / uncut; goal <= 1.15)\n", bestCut / bestUncut);
        std::printf("peak memory          %ld KiB before the runs, %ld KiB after\n", rssBefore,
                    rssAfter);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "resume_download_bench: %s\n", e.what());
        return 1;
    }
}
