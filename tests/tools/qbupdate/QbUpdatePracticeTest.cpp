// A practice's workstations with the real qbupdate program: each its own
// installation folder, machine hive and temporary folder, all sharing one
// data folder, updating from one local server (or its mirrors, or offline
// media).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Publisher.h"
#include "QbUpdateRunner.h"
#include "common/crypto/Crypto.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/Product.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;
using qbtest::RunQbUpdate;
using qbtest::TExit;

const Tree kNewInstall{{"app.bin", "v2"}, {"lib", "/"}, {"lib/x.so", "x"}};

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string DigestOf(const fs::path& file) {
    const std::string content = kmtest::ReadTextFile(file);
    km::TSha256 sha;
    sha.Update(content.data(), content.size());
    return sha.FinalHex();
}

class QbUpdatePracticeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetRegistryRoot(qb::kProductRegistryKey);
        server.emplace(kmtest::TTestServerOptions{.port = QBUPDATE_PORT});
        server->ServeDirectory(sandbox.Root() / "server", "/");
    }
    fs::path ProjectDir() const { return sandbox.Root() / "server/qbdata" / qb::kInstallerProject; }
    fs::path SharedData() const { return sandbox.Root() / "data"; }
    fs::path CacheDir() const { return SharedData() / "config/~qbcache"; }
    fs::path Install(const std::string& station) const {
        return sandbox.Root() / station / "install";
    }

    void Publish(const std::string& baseUrl = {}, const std::vector<std::string>& mirrors = {}) {
        const fs::path source = sandbox.Root() / "source";
        MakeTree(source, {{"dev/d.txt", "new dev"},
                          {"partner/p.txt", "new partner"},
                          {"patch/app.bin", "v2"},
                          {"patch/lib/x.so", "x"}});
        qbpublish::TPublishOptions options;
        options.SourceDir = source.string();
        options.OutDir = ProjectDir().string();
        options.Date = "20261210";
        options.BaseUrl = baseUrl;
        options.Mirrors = mirrors;
        qbpublish::Publish(options);
    }

    // Runs qbupdate on the workstation station (its data folder data: the
    // practice's shared one unless said otherwise).
    TExit RunOn(const std::string& station, const std::vector<std::string>& args,
                const std::optional<fs::path>& data = std::nullopt) {
        return qbtest::RunOnWorkstation(sandbox.Root() / station, data.value_or(SharedData()), args,
                                        localSource);
    }

    // The package requests the vendor's server answered so far.
    size_t PackageRequests() const {
        const std::vector<kmtest::TSeenRequest> seen = server->Requests();
        return static_cast<size_t>(std::count_if(
            seen.begin(), seen.end(), [](const auto& r) { return r.path.ends_with(".zip"); }));
    }

    std::vector<fs::path> CacheEntries() const {
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(CacheDir())) {
            if (entry.path().extension() == ".zip") {
                entries.push_back(entry.path());
            }
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    kmtest::Sandbox sandbox;
    std::optional<kmtest::TestHttpServer> server;
    // Machine-hive values every new workstation gets (the practice's own
    // package source).
    std::vector<std::pair<std::string, std::string>> localSource;
};

// The second and third workstations of a practice fetch no package: they
// install what the first one left in the shared cache, and end up with the
// same product.
TEST_F(QbUpdatePracticeTest, LaterWorkstationsInstallFromTheCache) {
    Publish();
    const TExit first = RunOn("ws1", {"--json"});
    ASSERT_EQ(first.code, 0) << first.out << first.err;
    EXPECT_EQ(Count(first.out, "\"source\":\"server\""), 3u) << first.out;
    EXPECT_EQ(ReadTree(Install("ws1")), kNewInstall);
    const size_t fetched = PackageRequests();
    EXPECT_EQ(fetched, 3u);
    EXPECT_EQ(CacheEntries().size(), 3u);

    const TExit second = RunOn("ws2", {"--json"});
    ASSERT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_EQ(Count(second.out, "\"source\":\"cache\""), 3u) << second.out;
    EXPECT_EQ(ReadTree(Install("ws2")), ReadTree(Install("ws1")));

    // What a person reads: where each package came from.
    const TExit third = RunOn("ws3", {});
    ASSERT_EQ(third.code, 0) << third.out << third.err;
    EXPECT_NE(third.out.find("patch: installed 20261210 (from cache)\n"), std::string::npos)
        << third.out;
    EXPECT_EQ(ReadTree(Install("ws3")), kNewInstall);
    EXPECT_EQ(PackageRequests(), fetched);
}

// A damaged entry and one another account put there are never installed:
// the package comes from the server again and takes the entry's place.
TEST_F(QbUpdatePracticeTest, DamagedAndForeignEntriesAreRefusedAndReplaced) {
    Publish();
    ASSERT_EQ(RunOn("ws1", {}).code, 0);
    const std::vector<fs::path> entries = CacheEntries();
    ASSERT_EQ(entries.size(), 3u);
    std::vector<fs::path> spoiled{entries[0]};
    // A zip that is not the package, under its digest.
    kmtest::WriteTextFile(entries[0], kmtest::ReadTextFile(entries[0]) + "tail");
    if (::geteuid() == 0) {
        // The right content, but another account could change it after the
        // check.
        ASSERT_EQ(::chown(entries[1].c_str(), 65534, 65534), 0);
        spoiled.push_back(entries[1]);
    }
    const size_t fetched = PackageRequests();

    const TExit second = RunOn("ws2", {"--json"});
    ASSERT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_EQ(ReadTree(Install("ws2")), kNewInstall);
    EXPECT_EQ(Count(second.out, "\"source\":\"server\""), spoiled.size()) << second.out;
    EXPECT_EQ(PackageRequests(), fetched + spoiled.size());
    for (const fs::path& entry : spoiled) {
        SCOPED_TRACE(entry.filename().string());
        EXPECT_EQ(DigestOf(entry) + ".zip", entry.filename().string());
        struct stat st {};
        ASSERT_EQ(::stat(entry.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, ::geteuid());
    }
}

// Sources are tried in turn; what a source that is not the vendor's server
// sends counts only by its digest.
TEST_F(QbUpdatePracticeTest, ADeadSourceFallsBackToTheNext) {
    kmtest::TestHttpServer mirror;
    const fs::path mirrorDir = sandbox.Root() / "mirror";
    mirror.ServeDirectory(mirrorDir, "/");
    const std::string dead = "http://127.0.0.1:1/packages";
    const struct {
        const char* name;
        std::string baseUrl;
        std::vector<std::string> mirrors;
        std::string localSource;
        const char* source;
        size_t serverPackages;
    } cases[] = {
        {"a dead local source, then the server", "", {}, dead, "server", 3},
        {"a live local source", "", {}, mirror.BaseUrl() + "/", "mirror", 0},
        {"a dead server, then the descriptor's mirror", dead, {mirror.BaseUrl()}, "", "mirror", 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Publish(c.baseUrl, c.mirrors);
        fs::remove_all(mirrorDir);
        fs::create_directories(mirrorDir);
        for (const char* type : {"dev", "partner", "patch"}) {
            fs::copy_file(ProjectDir() / (std::string(type) + ".zip"),
                          mirrorDir / (std::string(type) + ".zip"));
        }
        localSource.clear();
        if (!c.localSource.empty()) {
            localSource.emplace_back("PackageSource", c.localSource);
        }
        const size_t before = PackageRequests();
        const std::string station = "case" + std::to_string(++n);
        const TExit run = RunOn(station, {"--json"}, sandbox.Root() / station / "data");
        ASSERT_EQ(run.code, 0) << run.out << run.err;
        EXPECT_EQ(Count(run.out, std::string("\"source\":\"") + c.source + "\""), 3u) << run.out;
        EXPECT_EQ(PackageRequests() - before, c.serverPackages);
        EXPECT_EQ(ReadTree(Install(station)), kNewInstall);
    }
}

// Offline media: an export on a workstation with a line, then an update of
// another practice's workstation from the stick with the server gone.
TEST_F(QbUpdatePracticeTest, AnExportInstallsWithTheServerGone) {
    Publish();
    // A folder another account made, or a link, is never filled.
    const fs::path elsewhere = sandbox.Root() / "elsewhere";
    fs::create_directory(elsewhere);
    std::vector<fs::path> refused{sandbox.Root() / "link"};
    fs::create_directory_symlink(elsewhere, refused[0]);
    if (::geteuid() == 0) {
        refused.push_back(sandbox.Root() / "foreign");
        fs::create_directory(refused.back());
        ASSERT_EQ(::chown(refused.back().c_str(), 65534, 65534), 0);
    }
    for (const fs::path& target : refused) {
        SCOPED_TRACE(target.filename().string());
        EXPECT_EQ(RunOn("online", {"--export", target.string()}).code, 1);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        EXPECT_TRUE(fs::is_empty(target));
    }

    const fs::path stick = sandbox.Root() / "stick";
    const TExit exported = RunOn("online", {"--export", stick.string()});
    ASSERT_EQ(exported.code, 0) << exported.out << exported.err;
    EXPECT_NE(exported.out.find("exported to " + stick.string()), std::string::npos)
        << exported.out;
    EXPECT_EQ(ReadTree(Install("online")), (Tree{{"app.bin", "v1"}}));  // export changes nothing
    server.reset();

    const TExit offline =
        RunOn("offline", {"--from", stick.string()}, sandbox.Root() / "offline" / "data");
    ASSERT_EQ(offline.code, 0) << offline.out << offline.err;
    EXPECT_NE(offline.out.find("patch: installed 20261210 (from media)\n"), std::string::npos)
        << offline.out;
    EXPECT_NE(offline.err.find("patch: fetching from media\n"), std::string::npos) << offline.err;
    EXPECT_EQ(ReadTree(Install("offline")), kNewInstall);
    EXPECT_EQ(ReadTree(sandbox.Root() / "offline" / "data" / "config" / "dev"),
              (Tree{{"d.txt", "new dev"}}));

    // A stick without its index was never written whole; an index that is
    // a pipe or a link to an endless device is none either, and ends the
    // run at once instead of holding it.
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
    } broken[] = {
        {"no index", [](const fs::path&) {}},
        {"a pipe", [](const fs::path& index) { ASSERT_EQ(::mkfifo(index.c_str(), 0644), 0); }},
        {"a link to /dev/zero",
         [](const fs::path& index) { fs::create_symlink("/dev/zero", index); }},
    };
    int n = 0;
    for (const auto& c : broken) {
        SCOPED_TRACE(c.name);
        fs::remove(stick / "media.index");
        c.make(stick / "media.index");
        const std::string station = "broken" + std::to_string(++n);
        const TExit partial =
            RunOn(station, {"--from", stick.string()}, sandbox.Root() / station / "data");
        EXPECT_EQ(partial.code, 1) << partial.out << partial.err;
        EXPECT_EQ(ReadTree(Install(station)), (Tree{{"app.bin", "v1"}}));
    }
}

}  // namespace
