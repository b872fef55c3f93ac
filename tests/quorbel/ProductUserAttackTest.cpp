// What a user of the product (who may write its shared data folder) or a
// hostile server can try against an update run, root's included: swapping
// the run's folders for links while it works, a lock that blocks or is held
// for ever, an older package handed back, bodies without end, a resumed
// download answered by nothing. None of it reaches beyond the product, and
// the product is the old one or the new one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "UpdateRunFixture.h"
#include "common/crypto/Crypto.h"
#include "common/files/PathUtil.h"
#include "quorbel/Problem.h"
#include "quorbel/UpdateRun.h"
#include "support/FaultFileSystem.h"
#include "support/RawHttpServer.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::TFaultFileSystem;
using kmtest::TFsOp;
using kmtest::Tree;

const Tree kOutside{{"secret.txt", "root only"}, {"etc", "/"}, {"etc/service.conf", "real"}};

class ProductUserAttackTest : public qbtest::UpdateRunFixture {
  protected:
    fs::path Outside() const { return sandbox.Root() / "outside"; }

    void SetUp() override {
        UpdateRunFixture::SetUp();
        MakeTree(Outside(), kOutside);
    }

    // Renames name in the configuration folder away and puts a link to the
    // outside folder in its place, as a racer in the product's group can.
    void SwapForLink(const std::string& name) {
        std::error_code ec;
        fs::rename(ConfigDir() / name, ConfigDir() / (name + ".moved" + std::to_string(++fSwaps)),
                   ec);
        fs::create_directory_symlink(Outside(), ConfigDir() / name, ec);
    }

    // Every working folder the run has made in the configuration folder,
    // and the type folders, swapped for links.
    void SwapEverything() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(ConfigDir())) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("~qb") && name.size() == 8 && !entry.is_symlink()) {
                names.push_back(name);
            }
        }
        names.insert(names.end(), {"dev", "partner", "patch"});
        for (const std::string& name : names) {
            SwapForLink(name);
        }
    }

    int fSwaps = 0;
};

// At every file-system call of a whole run, the racer swaps the run's
// working folders and the type folders for links to a folder outside the
// product: the run never writes there.
TEST_F(ProductUserAttackTest, FoldersSwappedForLinksAtEveryStepAreNeverFollowed) {
    Publish({{"dev", {{"d.txt", "new dev"}}},
             {"partner", {{"p.txt", "new partner"}}},
             {"patch", {{"app.bin", "v2"}, {"lib/x.so", "x"}}}},
            "20261211");
    ResetProduct();
    TFaultFileSystem counting;
    ASSERT_EQ(qb::CombinedResultCode(RunCore(counting)), 3);
    int points = 0;
    for (const TFsOp op : {TFsOp::Open, TFsOp::Mkdir, TFsOp::Rename, TFsOp::Write, TFsOp::Unlink,
                           TFsOp::Read, TFsOp::Chmod}) {
        for (int nth = 1; nth <= counting.Calls(op); ++nth) {
            SCOPED_TRACE(std::string(kmtest::FsOpName(op)) + " #" + std::to_string(nth));
            ResetProduct();
            TFaultFileSystem racing;
            racing.Before(op, nth, [this] { SwapEverything(); });
            const qb::TRunReport report = RunCore(racing);
            EXPECT_EQ(ReadTree(Outside()), kOutside);
            // The installation folder is not shared: the patch is either in
            // or not.
            const std::string app = kmtest::ReadTextFile(InstallDir() / "app.bin");
            EXPECT_TRUE(app == "v1" || app == "v2") << app;
            ++points;
            if (HasFailure()) {
                return;
            }
        }
    }
    std::printf("[ measure  ] %d points of a run raced\n", points);
}

// The same race, for real: another process swaps whatever it finds.
TEST_F(ProductUserAttackTest, ARacerInAnotherProcessNeverLeadsTheRunOutside) {
    const pid_t racer = ::fork();
    if (racer == 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            std::error_code ec;
            for (fs::directory_iterator it(ConfigDir(), ec), stop; !ec && it != stop;
                 it.increment(ec)) {
                const std::string name = it->path().filename().string();
                if ((name.starts_with("~qb") && name.size() == 8) || name == "dev" ||
                    name == "patch") {
                    if (!fs::is_symlink(it->symlink_status(ec))) {
                        SwapForLink(name);
                    }
                }
            }
        }
        ::_exit(0);
    }
    ASSERT_GT(racer, 0);
    for (int round = 1; round <= 6; ++round) {
        Publish({{"dev", {{"d.txt", "dev " + std::to_string(round)}}},
                 {"patch", {{"app.bin", "v" + std::to_string(round)}}}},
                "2026121" + std::to_string(round));
        Run();
        EXPECT_EQ(ReadTree(Outside()), kOutside) << "round " << round;
    }
    ::kill(racer, SIGKILL);
    ::waitpid(racer, nullptr, 0);
}

// A FIFO or a link in place of the lock file, and a lock held by a process
// that is no updater: none of them keeps the update from running.
TEST_F(ProductUserAttackTest, ALockFileThatBlocksOrIsHeldForEverDoesNotStopTheUpdate) {
    const fs::path lock = ConfigDir() / "~qbupdate.lock";
    struct TCase {
        const char* name;
        std::function<pid_t()> plant;  // returns a process to end afterwards, or 0
    };
    const TCase cases[] = {
        {"a FIFO",
         [&] {
             EXPECT_EQ(::mkfifo(lock.c_str(), 0666), 0);
             return pid_t{0};
         }},
        {"a link to a file outside",
         [&] {
             fs::create_symlink(Outside() / "secret.txt", lock);
             return pid_t{0};
         }},
        {"held by a process that is no updater",
         [&] {
             const pid_t holder = ::fork();
             if (holder == 0) {
                 const int fd = ::open(lock.c_str(), O_RDONLY | O_CREAT, 0644);
                 ::flock(fd, LOCK_EX);
                 ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
                 ::_exit(127);
             }
             // Until the holder has its lock.
             for (int i = 0; i < 500; ++i) {
                 const int fd = ::open(lock.c_str(), O_RDONLY);
                 const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
                 if (fd >= 0) {
                     ::close(fd);
                 }
                 if (held) {
                     break;
                 }
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             return holder;
         }},
    };
    lockWait = std::chrono::milliseconds(300);
    int version = 1;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(lock);
        const pid_t holder = c.plant();
        Publish({{"patch", {{"app.bin", "v" + std::to_string(++version)}}}},
                "D" + std::to_string(version));
        const qbtest::TRunResult run = Run();
        EXPECT_EQ(run.code, 2) << run.text;
        EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v" + std::to_string(version));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lock)));
        EXPECT_EQ(ReadTree(Outside()), kOutside);
        if (holder > 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
    }
}

// A copy of an older package, kept by a user and put back where a package
// waits, is never installed again: the product does not roll back.
TEST_F(ProductUserAttackTest, AnInstalledPackageHandedBackIsRefused) {
    Publish({{"patch", {{"app.bin", "v2"}}}}, "D2");
    ASSERT_EQ(Run().code, 2);
    const std::string older = kmtest::ReadTextFile(ProjectDir() / "patch.zip");
    Publish({{"patch", {{"app.bin", "v3"}}}}, "D3");
    ASSERT_EQ(Run().code, 2);
    Publish({{"patch", {{"app.bin", "v4"}}}}, "D4");
    ASSERT_EQ(Run().code, 2);

    kmtest::WriteTextFile(ConfigDir() / "patch" / "patch.zip", older);
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -101101) << run.text;  // nothing new, nothing replayed
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v4");
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
    EXPECT_EQ(DateOf("patch"), "D4");

    // A package an administrator puts there, never installed, still is (and
    // then the descriptor's package again, as after any waiting package).
    kmtest::WriteZip(ConfigDir() / "patch" / "patch.zip", {{"patch/admin.txt", "admin's"}});
    EXPECT_EQ(Run().code, 2);
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "admin.txt"), "admin's");
}

// A server that never stops sending: a signed build stops at the signed
// size, any build at its cap; nothing fills the disk.
TEST_F(ProductUserAttackTest, AnEndlessBodyStopsAtTheSignedSizeOrTheCap) {
    const auto endless = [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/zip",
                                              [](size_t, httplib::DataSink& sink) {
                                                  static const std::string block(64 * 1024, 'P');
                                                  return sink.write(block.data(), block.size());
                                              });
    };
    // Signed: the descriptor names the package's size.
    const km::TEd25519Key key = km::TEd25519Key::Generate();
    publicKeys = {km::EncodeBase64(key.PublicKey())};
    signKeyPem = key.Pem();
    Publish({{"patch", {{"app.bin", "v2"}}}}, "D2");
    server.Route("/qbdata/.*/patch.zip", endless);
    qbtest::TRunResult run = Run();
    ASSERT_EQ(run.report.Types.size(), 4u);
    EXPECT_EQ(run.report.Types[2].Code, -2) << run.text;
    EXPECT_EQ(run.report.Types[2].Problem.Id, qb::TProblemId::PackageTooLarge);
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v1");

    // Unsigned (this test program's own build): the build's cap.
    publicKeys.clear();
    signKeyPem.clear();
    maxPackageBytes = 1 << 20;
    Publish({{"patch", {{"app.bin", "v3"}}}}, "D3");
    run = Run();
    ASSERT_EQ(run.report.Types.size(), 4u);
    EXPECT_EQ(run.report.Types[2].Code, -3) << run.text;
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v1");
}

// The whole package arrives, the line breaks before its end is announced,
// and the resume is answered by an empty 200: a damaged package, not an
// archive without entries that could replace a folder with nothing.
TEST_F(ProductUserAttackTest, AResumeAnsweredByAnEmptyAnswerIsADamagedPackage) {
    kmtest::WriteZip(sandbox.Root() / "dev.zip", {{"dev/d.txt", "new"}});
    const std::string zip = kmtest::ReadTextFile(sandbox.Root() / "dev.zip");
    const kmtest::RawHttpServer raw(
        {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(zip.size() + 100) +
             "\r\nETag: \"v1\"\r\n\r\n" + zip,
         "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    retryWait = std::chrono::milliseconds(1);
    WriteDescriptor(Descriptor({{"dev", raw.Url("/dev.zip")}}), "tolvanconfig");
    const qbtest::TRunResult run = Run(false);
    EXPECT_EQ(raw.RequestCount(), 2);
    ASSERT_EQ(run.report.Types.size(), 2u);
    EXPECT_EQ(run.report.Types[0].Code, -2) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), OldDev());
}

// Root started with a user's environment (sudo -E): a temporary folder of
// that user is not used, and nothing is written there.
TEST_F(ProductUserAttackTest, AFolderOfAnotherAccountInTheEnvironmentIsNotUsed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a folder of another account";
    }
    const fs::path foreign = sandbox.Root() / "foreign";
    fs::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(foreign.c_str(), 0755), 0);
    const kmtest::ScopedEnv tmpdir("TMPDIR", foreign.string());
    EXPECT_EQ(km::GetTempBaseDir(), "/tmp");
    Publish({{"patch", {{"app.bin", "v2"}}}}, "D2");
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 2) << run.text;
    EXPECT_TRUE(fs::is_empty(foreign));
}

}  // namespace
