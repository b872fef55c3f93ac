// A whole update run (descriptor and dev, partner and patch packages) from a
// loopback server, against the same work done by curl, unzip and cp -a in a
// shell script, on the same data in one run: prints the time ratio (ours /
// theirs) and our peak memory. Not a test; see bench/README.md.
//
// Usage: update_run_bench [MiB per package = 100] [files per package = 2000]
// Works below $TMPDIR (else /tmp); needs python3 (the static file server),
// curl, unzip and cp.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Publisher.h"
#include "common/crypto/Crypto.h"
#include "common/files/FileOps.h"
#include "common/files/PathUtil.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/UpdateRun.h"
#include "support/BenchSupport.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kProject = "bench";

// The product before the update: old dev and partner folders and an
// installation folder that the patch partly overwrites.
void ResetProduct(const fs::path& work) {
    fs::remove_all(work / "product");
    fs::create_directories(work / "product");
    fs::copy(work / "old", work / "product", fs::copy_options::recursive);
}

int RunEngine(const std::string& root, const std::vector<std::string>& keys = {}) {
    qb::TRunRequest request;
    request.Project = kProject;
    request.Settings.ConfigServerRoot = root;
    request.Settings.PublicKeys = keys;
    return qb::CombinedResultCode(qb::RunUpdate(request, qb::RealWorld(), {}));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const int files = argc > 2 ? std::atoi(argv[2]) : 2000;
    const fs::path work = km::CreateTempWorkDir("kmu");
    setenv("KM_REGISTRY_DIR", (work / "registry").c_str(), 1);
    setenv("TMPDIR", (work / "tmp").c_str(), 1);
    fs::create_directories(work / "tmp");
    km::SetRegistryRoot(qb::kProductRegistryKey);

    std::printf("generating 3 packages of %zu MiB in %d files each below %s\n", mib, files,
                work.c_str());
    const char* types[] = {"dev", "partner", "patch"};
    for (int i = 0; i < 3; ++i) {
        kmbench::GenerateTree(work / "source" / types[i], mib << 20, files, 42 + i);
        // The installed product holds older versions of half of the files.
        kmbench::GenerateTree(
            work / "old" /
                (i < 2 ? "data/config/" + std::string(types[i]) : std::string("install")),
            mib << 19, files / 2, 7 + i);
    }
    qbpublish::TPublishOptions publish;
    publish.SourceDir = (work / "source").string();
    publish.OutDir = (work / "server/qbdata" / kProject).string();
    publish.Date = "1";
    qbpublish::Publish(publish);

    const int port = kmbench::FreePort();
    const std::string root = "http://127.0.0.1:" + std::to_string(port);
    const pid_t server =
        kmbench::StartStaticServer(work / "server", port, "/qbdata/bench/configinfo.xml");
    const fs::path product = work / "product";

    // The toolchain's way: fetch, unpack, replace the folders by copying,
    // copy the patch over the installation.
    ResetProduct(work);
    const std::string script = "set -e; u=" + root +
                               "/qbdata/bench; d=$(mktemp -d); cd \"$d\"\n"
                               "curl -sf -o configinfo.xml \"$u/configinfo.xml\"\n"
                               "for t in dev partner patch; do curl -sf -o $t.zip \"$u/$t.zip\"; "
                               "unzip -q -o $t.zip -d w; done\n"
                               "for t in dev partner; do rm -rf '" +
                               (product / "data/config").string() +
                               "'/$t; "
                               "cp -a w/$t '" +
                               (product / "data/config").string() +
                               "'/$t; done\n"
                               "cp -a w/patch/. '" +
                               (product / "install").string() +
                               "'/\n"
                               "cd /; rm -rf \"$d\"\n";
    bool ok = true;
    const double theirs = kmbench::Seconds([&] {
        ok = kmbench::Run({"bash", "-c", script}, work);
    });

    ResetProduct(work);
    km::WriteRegString("InstallDir", (product / "install").string(), qb::kProductRegistryKey);
    km::WriteRegString("DatabaseDir", (product / "data").string(), qb::kProductRegistryKey);
    kmbench::ResetPeakRss();
    int code = 0;
    const double ours = kmbench::Seconds([&] { code = RunEngine(root); });
    const long rss = kmbench::PeakRssKiB();

    // The same packages signed, into a fresh product and settings store: the
    // digests are computed while the packages arrive.
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    publish.SignKeyPem = key.Pem();
    qbpublish::Publish(publish);
    fs::remove_all(work / "source");
    ResetProduct(work);
    setenv("KM_REGISTRY_DIR", (work / "registry-signed").c_str(), 1);
    km::WriteRegString("InstallDir", (product / "install").string(), qb::kProductRegistryKey);
    km::WriteRegString("DatabaseDir", (product / "data").string(), qb::kProductRegistryKey);
    int signedCode = 0;
    const double signedRun = kmbench::Seconds(
        [&] { signedCode = RunEngine(root, {km::EncodeBase64(key.PublicKey())}); });

    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    km::DeleteDirectoryTree(work.string());
    std::printf(
        "update run: curl+unzip+cp %.3f s, ours %.3f s (result %d), ratio %.3f (goal <= 0.8), "
        "peak RSS %.1f MiB (goal < 64)\n",
        theirs, ours, code, ours / theirs, static_cast<double>(rss) / 1024);
    std::printf(
        "signed update run: %.3f s (result %d), ratio %.3f to curl+unzip+cp (goal <= 0.8), "
        "%.3f to the unsigned run (goal <= 1.05)\n",
        signedRun, signedCode, signedRun / theirs, signedRun / ours);
    return ok && code == 3 && signedCode == 3 ? 0 : 1;
}
