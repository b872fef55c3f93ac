// A release that changes a few files, installed through its delta package
// against the same release installed from its full package, from one
// loopback server onto the same product: prints the bytes fetched, the
// time of each run, the delta run's peak memory and the publisher's time.
// Not a test; see bench/README.md.
//
// Usage: delta_bench [MiB = 100] [files = 2000]
// Works below $TMPDIR (else /tmp); needs python3 (the static file server)
// and curl.

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
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

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Release 2: 20 text files edited lightly, 5 % of the binary's bytes changed
// in 64 places.
void MakeRelease2(const fs::path& release1, const fs::path& release2, const fs::path& binary) {
    fs::copy(release1, release2, fs::copy_options::recursive);
    std::vector<fs::path> texts;
    for (const auto& entry : fs::recursive_directory_iterator(release2)) {
        if (entry.is_regular_file() && entry.path() != release2 / binary) {
            texts.push_back(entry.path());
        }
    }
    std::sort(texts.begin(), texts.end());
    for (size_t i = 0; i < 20 && i < texts.size(); ++i) {
        std::string text = Read(texts[i * texts.size() / 20]);
        text.insert(text.size() / 2, "\nedited for release 2\n");
        Write(texts[i * texts.size() / 20], text);
    }
    std::string bytes = Read(release2 / binary);
    std::mt19937_64 random(9);
    const size_t piece = bytes.size() / 20 / 64;
    for (size_t at = 0; at < 64; ++at) {
        const size_t start = at * (bytes.size() / 64);
        for (size_t i = 0; i < piece; ++i) {
            bytes[start + i] = static_cast<char>(random());
        }
    }
    Write(release2 / binary, bytes);
}

qb::TRunReport RunEngine(qb::IFetcher& fetcher, const std::string& root,
                         const std::string& project) {
    const qb::TWorld real = qb::RealWorld();
    const qb::TWorld world{fetcher, real.Files, real.Settings, real.Clock};
    qb::TRunRequest request;
    request.Project = project;
    request.Settings.ConfigServerRoot = root;
    return qb::RunUpdate(request, world, {});
}

void Restore(const fs::path& work) {
    fs::remove_all(work / "product");
    fs::copy(work / "saved", work / "product", fs::copy_options::recursive);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const int files = argc > 2 ? std::atoi(argv[2]) : 2000;
    const fs::path work = km::CreateTempWorkDir("kmd");
    setenv("KM_REGISTRY_DIR", (work / "registry").c_str(), 1);
    setenv("TMPDIR", (work / "tmp").c_str(), 1);
    fs::create_directories(work / "tmp");
    km::SetRegistryRoot(qb::kProductRegistryKey);

    std::printf("generating a patch package of %zu MiB in %d files with a 5 MiB binary below %s\n",
                mib, files, work.c_str());
    const fs::path binary = "patch/bin/engine.bin";
    kmbench::GenerateTree(work / "release1/patch", (mib - 5) << 20, files - 1, 42);
    fs::create_directories(work / "release1/patch/bin");
    {
        std::string bytes(5 << 20, '\0');
        std::mt19937_64 random(5);
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        Write(work / "release1" / binary, bytes);
    }
    MakeRelease2(work / "release1", work / "release2", binary);

    const fs::path server = work / "server/qbdata";
    qbpublish::TPublishOptions publish;
    publish.SourceDir = (work / "release1").string();
    publish.OutDir = (server / "bench").string();
    publish.Date = "1";
    qbpublish::Publish(publish);

    const int port = kmbench::FreePort();
    const std::string root = "http://127.0.0.1:" + std::to_string(port);
    const pid_t httpServer =
        kmbench::StartStaticServer(work / "server", port, "/qbdata/bench/configinfo.xml");

    // The product at release 1.
    fs::create_directories(work / "product/install");
    fs::create_directories(work / "product/data");
    km::WriteRegString("InstallDir", (work / "product/install").string(), qb::kProductRegistryKey);
    km::WriteRegString("DatabaseDir", (work / "product/data").string(), qb::kProductRegistryKey);
    km::WriteRegString("packagecache.maxmb", "0");
    qb::IFetcher& real = qb::RealWorld().Fetcher;
    bool ok = qb::CombinedResultCode(RunEngine(real, root, "bench")) == 2;
    fs::copy(work / "product", work / "saved", fs::copy_options::recursive);

    // Release 2, with its delta from release 1 and, for the comparison, without.
    publish.SourceDir = (work / "release2").string();
    publish.Date = "2";
    publish.DeltaBases = {{"1", (work / "release1").string()}};
    const double publishDelta = kmbench::Seconds([&] { qbpublish::Publish(publish); });
    publish.OutDir = (server / "benchfull").string();
    publish.DeltaBases.clear();
    const double publishFull = kmbench::Seconds([&] { qbpublish::Publish(publish); });
    const int64_t fullSize = static_cast<int64_t>(fs::file_size(server / "bench/patch.zip"));
    const int64_t deltaSize =
        static_cast<int64_t>(fs::file_size(server / "bench/patch-delta-1.zip"));

    kmbench::TCountingFetcher deltaFetch(real);
    kmbench::ResetPeakRss();
    qb::TRunReport deltaReport;
    const double deltaRun =
        kmbench::Seconds([&] { deltaReport = RunEngine(deltaFetch, root, "bench"); });
    const long rss = kmbench::PeakRssKiB();
    ok = ok && qb::CombinedResultCode(deltaReport) == 2 && deltaReport.Types.at(2).Delta;
    const std::string deltaResult = Read(work / "product/install" / "bin/engine.bin");

    Restore(work);
    kmbench::TCountingFetcher fullFetch(real);
    kmbench::ResetPeakRss();
    qb::TRunReport fullReport;
    const double fullRun =
        kmbench::Seconds([&] { fullReport = RunEngine(fullFetch, root, "benchfull"); });
    const long fullRss = kmbench::PeakRssKiB();
    ok = ok && qb::CombinedResultCode(fullReport) == 2 && !fullReport.Types.at(2).Delta &&
         Read(work / "product/install" / "bin/engine.bin") == deltaResult;

    ::kill(httpServer, SIGTERM);
    ::waitpid(httpServer, nullptr, 0);
    km::DeleteDirectoryTree(work.string());
    std::printf("package %.1f MiB, delta %.1f KiB\n", static_cast<double>(fullSize) / (1 << 20),
                static_cast<double>(deltaSize) / 1024);
    std::printf("fetched: delta run %.1f KiB, full run %.1f MiB, ratio %.4f (goal <= 0.05)\n",
                static_cast<double>(deltaFetch.Bytes()) / 1024,
                static_cast<double>(fullFetch.Bytes()) / (1 << 20),
                static_cast<double>(deltaFetch.Bytes()) / static_cast<double>(fullFetch.Bytes()));
    std::printf("time: delta run %.3f s, full run %.3f s, ratio %.3f (goal <= 1.0)\n", deltaRun,
                fullRun, deltaRun / fullRun);
    std::printf("peak RSS: delta run %.1f MiB (goal < 64), full run %.1f MiB\n",
                static_cast<double>(rss) / 1024, static_cast<double>(fullRss) / 1024);
    std::printf("publisher: release with its delta %.3f s, without %.3f s\n", publishDelta,
                publishFull);
    return ok ? 0 : 1;
}
