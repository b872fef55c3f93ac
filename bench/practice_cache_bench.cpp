// A practice: five workstations, each with its own installation folder and
// machine hive, all sharing one data folder, update one after another from
// one loopback server. Prints the bytes the server sent against one set of
// packages, with the practice cache and without it, and each workstation's
// time. Not a test; see bench/README.md.
//
// Usage: practice_cache_bench [MiB per package = 30] [files per package = 600]
//        [workstations = 5]
// Works below $TMPDIR (else /tmp); needs python3 (the static file server)
// and curl.

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Publisher.h"
#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/UpdateRun.h"
#include "support/BenchSupport.h"
#include "support/CountingFetcher.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kProject = "bench";

struct TPractice {
    int64_t bytes = 0;
    std::vector<double> seconds;
    bool ok = true;
};

// One practice: a fresh shared data folder, then each workstation in turn.
TPractice RunPractice(const fs::path& work, const std::string& name, const std::string& root,
                      int stations, const std::string& cacheMiB) {
    const fs::path practice = work / name;
    fs::create_directories(practice / "data/config");
    const qb::TWorld real = qb::RealWorld();
    kmbench::TCountingFetcher counting(real.Fetcher);
    const qb::TWorld world{counting, real.Files, real.Settings, real.Clock};
    TPractice result;
    for (int i = 1; i <= stations; ++i) {
        const fs::path station = practice / ("ws" + std::to_string(i));
        fs::create_directories(station / "install");
        fs::create_directories(station / "tmp");
        setenv("KM_REGISTRY_DIR", (station / "registry").c_str(), 1);
        setenv("TMPDIR", (station / "tmp").c_str(), 1);
        km::WriteRegString("InstallDir", (station / "install").string(), qb::kProductRegistryKey);
        km::WriteRegString("DatabaseDir", (practice / "data").string(), qb::kProductRegistryKey);
        km::WriteRegString("packagecache.maxmb", cacheMiB);
        qb::TRunRequest request;
        request.Project = kProject;
        request.Settings.ConfigServerRoot = root;
        int code = 0;
        result.seconds.push_back(kmbench::Seconds(
            [&] { code = qb::CombinedResultCode(qb::RunUpdate(request, world, {})); }));
        result.ok = result.ok && code == 3;
    }
    result.bytes = counting.PackageBytes();
    km::DeleteDirectoryTree(practice.string());
    return result;
}

void Print(const char* what, const TPractice& practice, int64_t oneSet) {
    std::printf("%s: server sent %.1f MiB for packages, %.2f x one set;", what,
                static_cast<double>(practice.bytes) / (1 << 20),
                static_cast<double>(practice.bytes) / static_cast<double>(oneSet));
    for (size_t i = 0; i < practice.seconds.size(); ++i) {
        std::printf(" ws%zu %.2f s", i + 1, practice.seconds[i]);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 30;
    const int files = argc > 2 ? std::atoi(argv[2]) : 600;
    const int stations = argc > 3 ? std::atoi(argv[3]) : 5;
    const fs::path work = km::CreateTempWorkDir("kmp");
    km::SetRegistryRoot(qb::kProductRegistryKey);

    std::printf("generating 3 packages of %zu MiB in %d files each below %s\n", mib, files,
                work.c_str());
    const char* types[] = {"dev", "partner", "patch"};
    for (int i = 0; i < 3; ++i) {
        kmbench::GenerateTree(work / "source" / types[i], mib << 20, files, 42 + i);
    }
    qbpublish::TPublishOptions publish;
    publish.SourceDir = (work / "source").string();
    publish.OutDir = (work / "server/qbdata" / kProject).string();
    publish.Date = "1";
    qbpublish::Publish(publish);
    fs::remove_all(work / "source");
    int64_t oneSet = 0;
    for (const char* type : types) {
        oneSet += static_cast<int64_t>(
            fs::file_size(work / "server/qbdata" / kProject / (std::string(type) + ".zip")));
    }

    const int port = kmbench::FreePort();
    const std::string root = "http://127.0.0.1:" + std::to_string(port);
    const pid_t server =
        kmbench::StartStaticServer(work / "server", port, "/qbdata/bench/configinfo.xml");

    const TPractice without = RunPractice(work, "without", root, stations, "0");
    const TPractice with = RunPractice(work, "with", root, stations, "");

    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    km::DeleteDirectoryTree(work.string());
    std::printf("one set of packages: %.1f MiB; %d workstations\n",
                static_cast<double>(oneSet) / (1 << 20), stations);
    Print("without the cache", without, oneSet);
    Print("with the cache   ", with, oneSet);
    std::printf("with the cache: %.2f x one set (goal <= 1.1)\n",
                static_cast<double>(with.bytes) / static_cast<double>(oneSet));
    return without.ok && with.ok ? 0 : 1;
}
