// The real program under Xvfb against a configuration server on the loopback
// root it was built with: a whole update run with the follow-up program of
// the install package, and a run without a server that ends in an error box.

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "Publisher.h"
#include "SigningKey.h"
#include "common/crypto/Crypto.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/Product.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::Tree;

constexpr const char* kProject = qb::kInstallerProject;
constexpr const char* kProductKey = qb::kProductRegistryKey;
constexpr const char* kDate = "20240611120000";
constexpr int kPort = QB_E2E_PORT;

// The product's files; the engine's lock file "~qbupdate.lock" (which
// stays for the next run) is no product file.
Tree ReadTree(const fs::path& root) {
    Tree tree = kmtest::ReadTree(root);
    std::erase_if(tree, [](const auto& entry) {
        return fs::path(entry.first).filename() == "~qbupdate.lock";
    });
    return tree;
}

// Holds the port without listening on it, so that connections are refused.
class TPortReservation {
  public:
    explicit TPortReservation(int port) : fSocket(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Connections of an earlier server on the port (the demo's) may wait
        // out their close; only a live listener makes the port busy.
        const int reuse = 1;
        fBound = fSocket >= 0 &&
                 setsockopt(fSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
                 bind(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~TPortReservation() {
        if (fSocket >= 0) {
            close(fSocket);
        }
    }
    TPortReservation(const TPortReservation&) = delete;
    TPortReservation& operator=(const TPortReservation&) = delete;
    bool Bound() const { return fBound; }

  private:
    int fSocket;
    bool fBound = false;
};

bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

class UpdaterEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"xvfb-run", "xdotool", "import"}) {
            if (!HaveProgram(program)) {
                GTEST_SKIP() << program << " is not installed";
            }
        }
        // The program talks to the loopback root it was built with.
        fPort.emplace(kPort);
        if (!fPort->Bound()) {
            GTEST_SKIP() << "port " << kPort
                         << " on 127.0.0.1 is busy; the end-to-end test needs it for itself";
        }
        // The product as its installer left it.
        MakeTree(InstallDir(), {{"Tolvan.bin", "version 1"}, {"readme.txt", "alt"}});
        MakeTree(DataDir() / "config",
                 {{"dev/old-rules.xml", "old"}, {"partner/partners.xml", "old"}});
        km::SetRegistryRoot(kProductKey);
        ASSERT_TRUE(km::WriteRegString("InstallDir", InstallDir().string(), kProductKey));
        ASSERT_TRUE(km::WriteRegString("DatabaseDir", DataDir().string(), kProductKey));
        fs::create_directories(fSandbox.TempBase());
    }

    void TearDown() override {
        if (fServerThread.joinable()) {
            fServer.stop();
            fServerThread.join();
        }
    }

    fs::path InstallDir() const { return fSandbox.Root() / "product"; }
    fs::path DataDir() const { return fSandbox.Root() / "data"; }
    fs::path Marker() const { return fSandbox.Root() / "follow-up-ran"; }

    // Publishes packages of all four types, signed with the demo key that the
    // loopback program trusts, and serves them where the program looks for
    // its project. spoil may change what was published before it is served.
    void ServePackages(const std::function<void(const fs::path& out)>& spoil = {}) {
        const fs::path source = fSandbox.Root() / "publish-source";
        MakeTree(source, {{"dev/rules.xml", "dev " + std::string(kDate)},
                          {"partner/partners.xml", "partner " + std::string(kDate)},
                          {"patch/Tolvan.bin", "version 2"},
                          {"install/setup.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$1\"\n"}});
        fs::permissions(source / "install/setup.sh", fs::perms::owner_all);
        qbpublish::TPublishOptions options;
        options.SourceDir = source.string();
        options.OutDir = (fSandbox.Root() / "server").string();
        options.Date = kDate;
        options.Types["install"] = {"", "setup.sh", "\"" + Marker().string() + "\" fertig"};
        qbpublish::ReadSigningKey(QB_E2E_SIGNING_KEY, options.SignKeyPem);
        qbpublish::Publish(options);
        if (spoil) {
            spoil(options.OutDir);
        }
        ASSERT_TRUE(
            fServer.set_mount_point(std::string("/qbdata/") + kProject + "/", options.OutDir));
        fPort.reset();
        fServer.set_socket_options([](socket_t socket) {
            const int reuse = 1;
            setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        });
        ASSERT_TRUE(fServer.bind_to_port("127.0.0.1", kPort)) << "port " << kPort << " taken";
        fServerThread = std::thread([this] { fServer.listen_after_bind(); });
        for (int i = 0; i < 500 && !fServer.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fServer.is_running());
    }

    // Runs the program under Xvfb; its screenshots go to the build tree.
    std::string RunUpdater(const std::string& name) {
        fOut = fs::path(QB_E2E_SHOTS_DIR) / name;
        fs::remove_all(fOut);
        fs::create_directories(fOut);
        // xvfb-run -a takes the first free display from :99 on, which races
        // with other X tests on the machine; start the search elsewhere.
        // -noreset: the server would otherwise reset when a short-lived
        // client (the driver's xdpyinfo) leaves, and refuse the program.
        const std::string display = std::to_string(200 + getpid() % 20000);
        const std::string command = "xvfb-run -a -n " + display +
                                    " -s '-screen 0 1024x768x24 -noreset' '" QB_E2E_DRIVER "' '" +
                                    std::string(QB_E2E_UPDATER) + "' '" + fOut.string() + "' 120";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
        return kmtest::ReadTextFile(fOut / "exit-code");
    }

    kmtest::Sandbox fSandbox;
    // German texts whatever the user's language.
    kmtest::ScopedEnv fLanguage{"LANGUAGE", std::nullopt};
    kmtest::ScopedEnv fLocale{"LC_ALL", "C.UTF-8"};
    // Sanitizer builds: the system's D-Bus library keeps a buffer to the end.
    kmtest::ScopedEnv fLeakSuppressions{"LSAN_OPTIONS", "suppressions=" QB_E2E_LSAN_SUPPRESSIONS};
    std::optional<TPortReservation> fPort;
    httplib::Server fServer;
    std::thread fServerThread;
    fs::path fOut;
};

TEST_F(UpdaterEndToEnd, InstallsEveryPackageStartsTheFollowUpProgramAndEnds) {
    ServePackages();
    EXPECT_EQ(RunUpdater("install"), "0\n");
    EXPECT_FALSE(fs::exists(fOut / "box-title")) << kmtest::ReadTextFile(fOut / "box-title");

    EXPECT_EQ(ReadTree(DataDir() / "config/dev"), (Tree{{"rules.xml", "dev 20240611120000"}}));
    EXPECT_EQ(ReadTree(DataDir() / "config/partner"),
              (Tree{{"partners.xml", "partner 20240611120000"}}));
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"Tolvan.bin", "version 2"}, {"readme.txt", "alt"}}));
    for (const char* type : {"dev", "partner", "patch", "install"}) {
        EXPECT_EQ(km::ReadRegString(std::string("lastconfigupdate.") + kProject + "." + type, "",
                                    kProductKey),
                  kDate)
            << type;
    }
    // Started without waiting: it may still be writing.
    for (int i = 0; i < 100 && kmtest::ReadTextFile(Marker()).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(kmtest::ReadTextFile(Marker()), Marker().string() + "\nfertig\n");
}

TEST_F(UpdaterEndToEnd, WithoutServerShowsTheErrorBoxAndChangesNothing) {
    const Tree productBefore = ReadTree(InstallDir());
    const Tree dataBefore = ReadTree(DataDir());
    // Nobody listens on the port: the program finds no descriptor.
    EXPECT_EQ(RunUpdater("no-server"), "0\n");
    EXPECT_EQ(kmtest::ReadTextFile(fOut / "box-title"), "Fehler\n");
    EXPECT_TRUE(fs::exists(fOut / "box.png"));
    EXPECT_EQ(ReadTree(InstallDir()), productBefore);
    EXPECT_EQ(ReadTree(DataDir()), dataBefore);
    EXPECT_EQ(km::ReadRegString(std::string("lastconfigupdate.") + kProject + ".dev", "none",
                                kProductKey),
              "none");
}

// A descriptor changed after it was signed: the box says so, and nothing is
// installed.
TEST_F(UpdaterEndToEnd, AnEditedDescriptorIsRefusedWithABox) {
    ServePackages([](const fs::path& out) {
        std::string xml = kmtest::ReadTextFile(out / "configinfo.xml");
        xml.replace(xml.find("setup.sh"), 8, "setup.SH");
        kmtest::WriteTextFile(out / "configinfo.xml", xml);
    });
    const Tree productBefore = ReadTree(InstallDir());
    EXPECT_EQ(RunUpdater("refused"), "0\n");
    EXPECT_EQ(kmtest::ReadTextFile(fOut / "box-title"), "Fehler\n");
    EXPECT_TRUE(fs::exists(fOut / "box.png"));
    EXPECT_EQ(ReadTree(InstallDir()), productBefore);
    EXPECT_EQ(km::ReadRegString(std::string("lastconfigupdate.") + kProject + ".patch", "none",
                                kProductKey),
              "none");
}

// A failure the program meets at once (a descriptor element that is not one
// text): the box comes in the user's language. Its text is checked where the
// window runs with the real worker (UpdaterWindowTest); here the real
// program's box is seen on the screen with its English caption.
TEST_F(UpdaterEndToEnd, TheBoxSpeaksTheUsersLanguage) {
    ServePackages([](const fs::path& out) {
        std::string xml = kmtest::ReadTextFile(out / "configinfo.xml");
        xml.insert(xml.find("<date>") + 6, "<!-- x -->");
        kmtest::WriteTextFile(out / "configinfo.xml", xml);
        // Signed again, so that the program reads the entry.
        std::string pem;
        qbpublish::ReadSigningKey(QB_E2E_SIGNING_KEY, pem);
        kmtest::WriteTextFile(out / "configinfo.xml.sig",
                              km::EncodeBase64(km::TEd25519Key::FromPem(pem).Sign(xml)) + "\n");
    });
    const kmtest::ScopedEnv language("LANGUAGE", "en");
    EXPECT_EQ(RunUpdater("language-en"), "0\n");
    EXPECT_EQ(kmtest::ReadTextFile(fOut / "box-title"), "Error\n");
    EXPECT_TRUE(fs::exists(fOut / "box.png"));
}

}  // namespace
