// Whole update runs against nginx, as vendors serve their packages, directly
// and through a relay that cuts connections the way a bad line does.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "UpdateRunFixture.h"
#include "support/FaultRelay.h"
#include "support/NginxServer.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::ReadTree;
using kmtest::Tree;

constexpr int64_t kUncut = -1;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

class NginxTest : public qbtest::UpdateRunFixture {
  protected:
    void Start(kmtest::TNginxOptions options = {}) {
        nginx = std::make_unique<kmtest::NginxServer>(options);
        // Vendors serve with an ordinary web server: the tests must meet one.
        ASSERT_TRUE(nginx->Available()) << nginx->Problem() << " (scripts/setup installs nginx)";
        fs::create_directories(ProjectDir());
        fs::create_directory_symlink(sandbox.Root() / "server" / "qbdata",
                                     nginx->Root() / "qbdata");
    }
    // A patch package of about size bytes that does not compress.
    std::string PublishPatch(size_t size, unsigned seed) {
        const std::string content = RandomBytes(size, seed);
        kmtest::WriteZip(ProjectDir() / "patch.zip",
                         {kmtest::ZipEntrySpec("patch/app.bin", content).AsStored()});
        return content;
    }
    std::string Relayed(const kmtest::FaultRelay& relay) const {
        return "http://127.0.0.1:" + std::to_string(relay.Port());
    }

    std::unique_ptr<kmtest::NginxServer> nginx;
};

TEST_F(NginxTest, WholeRunsOverPlainHttpAndTls) {
    Start();
    const std::string bases[] = {nginx->HttpBase(), nginx->HttpsBase()};
    int version = 0;
    for (const std::string& base : bases) {
        SCOPED_TRACE(base);
        ++version;
        const Tree dev{{"d.txt", "dev " + std::to_string(version)}};
        Publish({{"dev", dev},
                 {"patch", {{"app.bin", "v" + std::to_string(version + 1)}}},
                 {"install", {{"setup.sh", "#!/bin/sh\n"}}}},
                "2024061" + std::to_string(version), kProject, {{"install", {"", "setup.sh", ""}}});
        const qbtest::TRunResult run = Run(true, std::chrono::milliseconds(0), base);
        EXPECT_EQ(run.code, 7) << run.text;
        EXPECT_EQ(ReadTree(ConfigDir() / "dev"), dev);
        EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"),
                  "v" + std::to_string(version + 1));
    }
}

// Cut in the descriptor and three times in the package: one run, and what
// arrives is byte for byte what the server holds.
TEST_F(NginxTest, APackageCutAtSeveralPointsArrivesWholeInOneRun) {
    Start();
    const std::string content = PublishPatch(3 << 20, 1);
    // A descriptor long enough to be cut in its body.
    std::string descriptor = Descriptor({{"patch", "patch.zip"}});
    descriptor.insert(descriptor.find('>') + 1, "<pad>" + std::string(4000, 'x') + "</pad>");
    WriteDescriptor(descriptor);
    // Connections: the descriptor (cut), its second try, then the package,
    // cut at 500 000, 1 200 000 and 2 000 000 bytes of the file.
    // The cuts are resets: what was on its way is lost too.
    kmtest::FaultRelay relay(nginx->HttpPort(), {2000, kUncut, 500'000, 700'000, 800'000}, 0, true);
    const qbtest::TRunResult run = Run(true, std::chrono::milliseconds(0), Relayed(relay));
    EXPECT_EQ(run.code, 2) << run.text;
    EXPECT_EQ(relay.Cuts(), 4);
    EXPECT_TRUE(kmtest::ReadTextFile(InstallDir() / "app.bin") == content);
    EXPECT_NE(nginx->AccessLog().find("206 "), std::string::npos) << nginx->AccessLog();
}

TEST_F(NginxTest, AServerWithoutRangesIsReadAgainFromZero) {
    Start({.Ranges = false});
    const std::string content = PublishPatch(2 << 20, 2);
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    kmtest::FaultRelay relay(nginx->HttpPort(), {kUncut, 400'000, 900'000});
    const qbtest::TRunResult run = Run(true, std::chrono::milliseconds(0), Relayed(relay));
    EXPECT_EQ(run.code, 2) << run.text;
    EXPECT_TRUE(kmtest::ReadTextFile(InstallDir() / "app.bin") == content);
    const std::string log = nginx->AccessLog();
    EXPECT_EQ(log.find("206 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"bytes="), std::string::npos) << log;  // it was asked for ranges
}

// The file changes on the server between two tries: its new ETag makes the
// server send it whole, and the package is never stitched from two versions.
TEST_F(NginxTest, AFileReplacedBetweenTriesIsFetchedAgainWhole) {
    Start();
    PublishPatch(2 << 20, 3);
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    kmtest::FaultRelay relay(nginx->HttpPort(), {kUncut, 1'000'000});
    std::string replaced;
    relay.OnCut([&](int) {
        replaced = PublishPatch(2 << 20, 4);
        const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 3600, 0}};
        ::utimensat(AT_FDCWD, (ProjectDir() / "patch.zip").c_str(), later, 0);
    });
    const qbtest::TRunResult run = Run(true, std::chrono::milliseconds(0), Relayed(relay));
    EXPECT_EQ(run.code, 2) << run.text;
    EXPECT_TRUE(kmtest::ReadTextFile(InstallDir() / "app.bin") == replaced);
}

// A line that brings nothing: the download waits before each new try, and a
// stop ends the wait at once (a wait that did not end would hold the run
// until its deadline).
TEST_F(NginxTest, AStopDuringAWaitBeforeTheNextTryEndsTheRunAtOnce) {
    Start();
    PublishPatch(1 << 20, 5);
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    kmtest::FaultRelay relay(nginx->HttpPort(), {kUncut}, 1000);
    retryWait = std::chrono::hours(1);
    const qbtest::TRunResult run = Run(true, std::chrono::milliseconds(1500), Relayed(relay));
    EXPECT_EQ(run.code, -100103);  // install: nothing; patch: the download failed
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v1");
    std::printf(
        "[ measure  ] stop during a wait before the next try: run ended %lld ms after "
        "the stop\n",
        static_cast<long long>(run.stopLatency.count()));
}

}  // namespace
