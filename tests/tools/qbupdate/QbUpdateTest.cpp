// The real qbupdate program against a local server on the port its test
// build is made for, with a sandbox product.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Publisher.h"
#include "QbUpdateRunner.h"
#include "common/files/UniqueFd.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/Product.h"
#include "support/FileTree.h"
#include "support/RawHttpServer.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;
using qbtest::RunQbUpdate;
using qbtest::TExit;

constexpr auto kDeadline = std::chrono::seconds(60);

constexpr const char* kProject = qb::kInstallerProject;

class QbUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetRegistryRoot(qb::kProductRegistryKey);
        MakeTree(InstallDir(), {{"app.bin", "v1"}});
        MakeTree(DataDir() / "config", {{"dev/d.txt", "old"}, {"partner/p.txt", "old"}});
        ASSERT_TRUE(
            km::WriteRegString("InstallDir", InstallDir().string(), qb::kProductRegistryKey));
        ASSERT_TRUE(km::WriteRegString("DatabaseDir", DataDir().string(), qb::kProductRegistryKey));
        server.emplace(kmtest::TTestServerOptions{.port = QBUPDATE_PORT});
        server->ServeDirectory(sandbox.Root() / "server", "/");
    }
    fs::path InstallDir() const { return sandbox.Root() / "install"; }
    fs::path DataDir() const { return sandbox.Root() / "data"; }
    fs::path ProjectDir() const { return sandbox.Root() / "server/qbdata" / kProject; }
    fs::path Marker() const { return sandbox.Root() / "follow-up-ran"; }
    std::string DateOf(const std::string& type) {
        return km::ReadRegString(std::string("lastconfigupdate.") + kProject + "." + type, "-",
                                 qb::kProductRegistryKey);
    }
    void PublishAll() {
        const fs::path source = sandbox.Root() / "source";
        MakeTree(source, {{"dev/d.txt", "new"},
                          {"partner/p.txt", "new"},
                          {"patch/app.bin", "v2"},
                          {"install/setup.sh", "#!/bin/sh\necho ran > \"$1\"\n"}});
        fs::permissions(source / "install/setup.sh", fs::perms::owner_all);
        qbpublish::TPublishOptions options;
        options.SourceDir = source.string();
        options.OutDir = ProjectDir().string();
        options.Date = "20261210";
        options.Types["install"] = {"", "setup.sh", "\"" + Marker().string() + "\""};
        qbpublish::Publish(options);
    }
    void WaitForMarker() {
        for (int i = 0; i < 200 && kmtest::ReadTextFile(Marker()).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }

    kmtest::Sandbox sandbox;
    std::optional<kmtest::TestHttpServer> server;
};

TEST_F(QbUpdateTest, CheckRunAndCurrentAsAScriptSeesThem) {
    PublishAll();
    TExit check = RunQbUpdate({"--check", "--json"});
    EXPECT_EQ(check.code, 10) << check.err;
    for (const char* type : {"dev", "partner", "patch", "install"}) {
        EXPECT_NE(check.out.find(std::string("{\"type\":\"") + type +
                                 "\",\"recorded\":\"\","
                                 "\"offered\":\"20261210\",\"waiting\":true}"),
                  std::string::npos)
            << check.out;
    }
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v1"}}));
    EXPECT_EQ(DateOf("patch"), "-");

    const TExit run = RunQbUpdate({});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("patch: installed 20261210\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("started: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("result: 7 (installed: dev or partner, patch, install)\n"),
              std::string::npos)
        << run.out;
    // Not a terminal: the journal gets every outcome line once, on standard
    // output, and no progress.
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v2"}}));
    EXPECT_EQ(DateOf("install"), "20261210");
    WaitForMarker();
    EXPECT_EQ(kmtest::ReadTextFile(Marker()), "ran\n");

    const TExit current = RunQbUpdate({"--json"});
    EXPECT_EQ(current.code, 0) << current.out;
    EXPECT_NE(current.out.find("\"result\":-101101"), std::string::npos) << current.out;
    check = RunQbUpdate({"--check"});
    EXPECT_EQ(check.code, 0) << check.out;
}

// The nightly service runs with --no-follow-up: the install package stays
// for the next run with a person present, which installs it and starts its
// program.
TEST_F(QbUpdateTest, NoFollowUpLeavesTheInstallPackageForTheNextRun) {
    PublishAll();
    const TExit run = RunQbUpdate({"--no-follow-up"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("install: left for the window"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("result: 3 (installed: dev or partner, patch)\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("started: "), std::string::npos);
    EXPECT_EQ(DateOf("patch"), "20261210");
    EXPECT_EQ(DateOf("install"), "-");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(Marker()));

    const TExit attended = RunQbUpdate({});
    EXPECT_EQ(attended.code, 0) << attended.out << attended.err;
    EXPECT_NE(attended.out.find("install: installed 20261210"), std::string::npos) << attended.out;
    EXPECT_NE(attended.out.find("result: 4 (installed: install)\n"), std::string::npos)
        << attended.out;
    WaitForMarker();
    EXPECT_EQ(kmtest::ReadTextFile(Marker()), "ran\n");
}

// The last run is recorded for --status; the vendor's server sees which
// program asked; a package that cannot be had is named with the server's
// answer, in the language the environment names, generated or not.
TEST_F(QbUpdateTest, StatusUserAgentAndTheEnvironmentsLanguage) {
    PublishAll();
    kmtest::WriteTextFile(
        ProjectDir() / "configinfo.xml",
        kmtest::ReadTextFile(ProjectDir() / "configinfo.xml")
            .replace(kmtest::ReadTextFile(ProjectDir() / "configinfo.xml").find("patch.zip"), 9,
                     "gone.zip"));
    const kmtest::ScopedEnv language("LANGUAGE", std::nullopt);
    const kmtest::ScopedEnv all("LC_ALL", std::nullopt);
    const kmtest::ScopedEnv messages("LC_MESSAGES", std::nullopt);
    const kmtest::ScopedEnv lang("LANG", "en_US.UTF-8");
    const TExit run = RunQbUpdate({"--no-follow-up"});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("patch: failed (-3): The package " + server->BaseUrl() + "/qbdata/" +
                           kProject + "/gone.zip could not be downloaded: HTTP/1.1 404 Not Found"),
              std::string::npos)
        << run.out;
    for (const kmtest::TSeenRequest& request : server->Requests()) {
        EXPECT_EQ(request.Header("User-Agent"), "qbupdate/" + std::string(QB_VERSION))
            << request.path;
    }

    const TExit status = RunQbUpdate({"--status"});
    EXPECT_EQ(status.code, 0) << status.err;
    EXPECT_NE(status.out.find("last run "), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("dev: installed (0), date 20261210, from server"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("patch: failed (-3)"), std::string::npos) << status.out;
    const TExit json = RunQbUpdate({"--status", "--json"});
    EXPECT_NE(json.out.find("{\"type\":\"install\",\"outcome\":\"deferred\""), std::string::npos)
        << json.out;
}

// A run that waits for another update says so at once, naming the holder,
// and a stop ends the wait.
TEST_F(QbUpdateTest, AWaitForTheLockIsShownWithItsHolder) {
    PublishAll();
    const km::TUniqueFd holder(::open((DataDir() / "config/~qbupdate.lock").c_str(),
                                      O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
    const TExit run = RunQbUpdate({}, std::chrono::milliseconds(1000));
    EXPECT_EQ(run.code, 5) << run.out << run.err;
    EXPECT_NE(run.err.find("waiting for another update of this product to end (pid " +
                           std::to_string(::getpid())),
              std::string::npos)
        << run.err;
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v1"}}));
}

// A product its installer did not set up: said, with its own exit code,
// before anything is fetched.
TEST_F(QbUpdateTest, AProductThatIsNotSetUpSaysSo) {
    ASSERT_TRUE(km::WriteRegString("InstallDir", "", qb::kProductRegistryKey));
    for (const auto& args : {std::vector<std::string>{"--check"}, std::vector<std::string>{}}) {
        const TExit run = RunQbUpdate(args);
        EXPECT_EQ(run.code, 6) << run.out << run.err;
        EXPECT_NE(run.err.find("not set up"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("InstallDir"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(server->Requests().empty());
}

TEST_F(QbUpdateTest, WithoutAServerNothingChanges) {
    server.reset();
    const Tree before = ReadTree(InstallDir());
    const Tree config = ReadTree(DataDir() / "config");
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"--check"}}) {
        const TExit run = RunQbUpdate(args);
        EXPECT_EQ(run.code, 3) << run.out << run.err;
    }
    EXPECT_EQ(ReadTree(InstallDir()), before);
    Tree after = ReadTree(DataDir() / "config");
    after.erase("~qbupdate.lock");
    EXPECT_EQ(after, config);
    EXPECT_EQ(DateOf("dev"), "-");
}

// SIGTERM during a download that stalls, the descriptor's or a package's:
// the run stops at once, says so (exit 5) and leaves nothing half-installed
// (the stall limit is a minute away).
TEST_F(QbUpdateTest, SigtermStopsAStalledDownloadPromptly) {
    const kmtest::RawHttpServer stall("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nPK",
                                      kmtest::RawHttpServer::TAfter::Stall);
    std::atomic<bool> released{false};
    for (const bool inDescriptor : {false, true}) {
        SCOPED_TRACE(inDescriptor ? "descriptor" : "package");
        if (inDescriptor) {
            server->Route("/qbdata/.*/configinfo.xml", [&released](const httplib::Request&,
                                                                   httplib::Response& r) {
                r.set_content_provider(
                    5000, "text/xml", [&released](size_t offset, size_t, httplib::DataSink& sink) {
                        if (offset == 0) {
                            sink.write("<c>", 3);
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                        return !released.load();
                    });
            });
        } else {
            kmtest::WriteTextFile(ProjectDir() / "configinfo.xml",
                                  "<configinfo><patch><date>D1</date><url>" +
                                      stall.Url("/patch.zip") + "</url></patch></configinfo>");
        }
        const auto start = std::chrono::steady_clock::now();
        const TExit run = RunQbUpdate({}, std::chrono::milliseconds(1000));
        std::printf(
            "[ measure  ] SIGTERM during a stalled download: ended %lld ms after the start\n",
            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count()));
        EXPECT_EQ(run.code, 5) << run.out << run.err;
        EXPECT_NE(run.out.find(inDescriptor ? "dev: stopped" : "patch: stopped"), std::string::npos)
            << run.out;
        EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v1"}}));
        EXPECT_EQ(DateOf("patch"), "-");
    }
    released = true;
}

// What a server sends reaches the terminal, the journal and scripts only
// escaped: no control character, no byte that is not UTF-8.
TEST_F(QbUpdateTest, ServerTextIsEscaped) {
    server.reset();
    const kmtest::RawHttpServer hostile(
        {"HTTP/1.1 404 \x1b]0;owned\x07\x1b[2J\xff\xfe Gone\r\nContent-Length: 0\r\n\r\n"},
        kmtest::RawHttpServer::TAfter::Close, QBUPDATE_PORT);
    for (const auto& args :
         {std::vector<std::string>{"--check"}, std::vector<std::string>{"--check", "--json"},
          std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
        const TExit run = RunQbUpdate(args);
        EXPECT_EQ(run.code, 3) << run.out << run.err;
        const std::string all = run.out + run.err;
        EXPECT_NE(all.find("Gone"), std::string::npos) << all;
        for (const char c : all) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte >= 0x20 || c == '\n') << "control byte " << int(byte) << " in " << all;
            EXPECT_TRUE(byte != 0xff && byte != 0xfe) << all;
        }
    }
}

// On a terminal the download shows a bar with bytes, rate and type.
TEST_F(QbUpdateTest, OnATerminalTheProgressIsABar) {
    const fs::path source = sandbox.Root() / "source";
    std::string big(8 << 20, '\0');
    std::mt19937_64 random(3);
    for (char& c : big) {
        c = static_cast<char>(random() & 0xff);  // does not compress
    }
    MakeTree(source, {{"patch/app.bin", big}});
    qbpublish::TPublishOptions options;
    options.SourceDir = source.string();
    options.OutDir = ProjectDir().string();
    options.Date = "20261210";
    qbpublish::Publish(options);
    server->Route("/qbdata/.*/patch.zip", [this](const httplib::Request&, httplib::Response& r) {
        // Slow enough for the bar to be drawn a few times.
        auto data = std::make_shared<std::string>(kmtest::ReadTextFile(ProjectDir() / "patch.zip"));
        r.set_content_provider(data->size(), "application/zip",
                               [data](size_t offset, size_t length, httplib::DataSink& sink) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                   sink.write(data->data() + offset,
                                              std::min<size_t>(length, 256 * 1024));
                                   return true;
                               });
    });
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::execl(QBUPDATE_PATH, QBUPDATE_PATH, "--no-follow-up", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    std::string screen;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EIO once the program has ended
        }
        screen.append(buffer, static_cast<size_t>(n));
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "qbupdate did not end within the deadline";
            ::kill(child, SIGKILL);
            break;
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(terminal);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << screen;
    EXPECT_NE(screen.find("\rpatch    ["), std::string::npos) << screen.substr(0, 2000);
    EXPECT_NE(screen.find("MiB/s"), std::string::npos) << screen;
    // The outcome line once, on standard output, after the bar is cleared.
    const size_t line = screen.find("patch: installed 20261210");
    EXPECT_NE(line, std::string::npos) << screen;
    EXPECT_EQ(screen.find("patch: installed 20261210", line + 1), std::string::npos) << screen;
}

TEST(QbUpdateArguments, WrongOptionsExitTwoWithAMessage) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {{"--help"}, 0, "usage: qbupdate"},
        {{"--version"}, 0, "qbupdate "},
        {{"--frobnicate"}, 2, "unknown option \"--frobnicate\""},
        {{"--timeout"}, 2, "--timeout needs a number of seconds"},
        {{"--timeout", "soon"}, 2, "--timeout takes a positive number of seconds"},
        {{"--timeout", "0"}, 2, "--timeout takes a positive number of seconds"},
        {{"check"}, 2, "unknown option \"check\""},
    };
    for (const auto& c : cases) {
        const TExit run = RunQbUpdate(c.args);
        EXPECT_EQ(run.code, c.code) << c.args[0];
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
}

}  // namespace
