// Whole update runs of the worker against a local configuration server, with
// a sandbox registry, sandbox product folders and a sandbox temporary folder.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "UpdateRunFixture.h"
#include "common/base/KmException.h"
#include "common/registry/KmRegistry.h"
#include "common/thread/ThreadManager.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/Problem.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;

class UpdateRunTest : public qbtest::UpdateRunFixture {};

TEST_F(UpdateRunTest, InstallsEveryTypeThenFindsEverythingCurrent) {
    const Tree dev{{"d.txt", "new dev"}, {"sub", "/"}, {"sub/x.cfg", "x"}};
    const Tree partner{{"p.txt", "new partner"}};
    Publish({{"dev", dev},
             {"partner", partner},
             {"patch", {{"app.bin", "v2"}, {"lib", "/"}, {"lib/new.so", "so"}}},
             {"install", {{"setup.sh", "#!/bin/sh\n"}}}},
            "20240611", kProject, {{"install", {"", "setup.sh", "/quiet \"a b\""}}});

    const qbtest::TRunResult first = Run();
    EXPECT_EQ(first.code, 7) << first.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), dev);
    EXPECT_EQ(ReadTree(ConfigDir() / "partner"), partner);
    EXPECT_EQ(ReadTree(InstallDir()),
              (Tree{{"app.bin", "v2"}, {"keep.txt", "keep"}, {"lib", "/"}, {"lib/new.so", "so"}}));
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
    // The follow-up program lies in a new "~qo" folder in the private
    // temporary folder.
    const fs::path toRun(first.toRun);
    EXPECT_EQ(toRun.filename(), "setup.sh");
    EXPECT_EQ(toRun.parent_path().parent_path(), sandbox.PrivateTemp());
    EXPECT_EQ(toRun.parent_path().filename().string().substr(0, 3), "~qo");
    EXPECT_EQ(kmtest::ReadTextFile(toRun), "#!/bin/sh\n");
    EXPECT_EQ(first.runParams, "/quiet \"a b\"");
    for (const char* type : {"dev", "partner", "patch", "install"}) {
        EXPECT_EQ(DateOf(type), "20240611") << type;
    }
    // Nothing of ours is left behind but the install folder.
    const auto leftInPrivateTemp = [this] {
        std::vector<fs::path> left;
        for (const auto& entry : fs::directory_iterator(sandbox.PrivateTemp())) {
            left.push_back(entry.path());
        }
        return left;
    };
    EXPECT_EQ(leftInPrivateTemp(), std::vector<fs::path>{toRun.parent_path()});
    ExpectOnlyInConfigDir({"dev", "partner", "patch"});

    const qbtest::TRunResult second = Run();
    EXPECT_EQ(second.code, -101101);
    // The install folder of a run that installed nothing goes with it.
    EXPECT_EQ(leftInPrivateTemp(), std::vector<fs::path>{toRun.parent_path()});
    EXPECT_EQ(second.runParams, "/quiet \"a b\"");  // taken from the entry even when nothing is new
}

TEST_F(UpdateRunTest, OfflineAndDefaultProject) {
    // Installer mode, no descriptor, nothing waiting locally.
    EXPECT_EQ(Run().code, -404);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), OldDev());

    // Without installer mode the project is the default one and the value
    // names have no project part.
    Publish({{"dev", {{"d.txt", "v"}}}}, "D1", "tolvanconfig");
    const qbtest::TRunResult run = Run(false);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "D1");
    EXPECT_EQ(RegValue("lastconfigupdate.partner"), "<none>");
    EXPECT_EQ(Run(false).code, -101101);  // partner: no entry (-1001); dev: current (-1001)
}

TEST_F(UpdateRunTest, LocalArchiveIsInstalledFirstAndRecordedAsInit) {
    kmtest::WriteZip(ConfigDir() / "dev" / "dev.zip", {{"dev/"}, {"dev/local.txt", "local"}});
    const qbtest::TRunResult run = Run(false);  // no descriptor on the server
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"local.txt", "local"}}));
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "init");
}

TEST_F(UpdateRunTest, ForceInstallsOnEveryRunAndOnlyEqualityCounts) {
    Publish({{"dev", {{"d.txt", "forced"}}}}, "force", "tolvanconfig");
    EXPECT_EQ(Run(false).code, 1);
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "force");
    fs::remove(ConfigDir() / "dev" / "d.txt");
    EXPECT_EQ(Run(false).code, 1);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "forced"}}));

    // A recorded date newer than the descriptor's is just different.
    Publish({{"dev", {{"d.txt", "older"}}}}, "20200101", "tolvanconfig");
    km::WriteRegString("lastconfigupdate.dev", "20300101");
    EXPECT_EQ(Run(false).code, 1);
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "20200101");
}

TEST_F(UpdateRunTest, PackageFailuresKeepTheProductAsItWas) {
    const Tree oldDev = ReadTree(ConfigDir() / "dev");
    // dev: no "dev" folder in the package; partner: not an archive at all.
    kmtest::WriteZip(ProjectDir() / "dev.zip", {{"other/", ""}, {"other/x.txt", "x"}});
    kmtest::WriteTextFile(ProjectDir() / "partner.zip", "<html>404</html>");
    // patch: the installation folder is gone.
    kmtest::WriteZip(ProjectDir() / "patch.zip", {{"patch/app.bin", "v2"}});
    WriteDescriptor(R"(<c>
      <dev><date>1</date><url>dev.zip</url></dev>
      <partner><date>1</date><url>partner.zip</url></partner>
      <patch><date>1</date><url>#QBCONFIGDIR#patch.zip</url></patch>
    </c>)");
    fs::remove_all(InstallDir());
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -100107);  // install: no entry; patch: no target
    // The text of the last failure: patch's.
    EXPECT_EQ(run.text, "Der Ordner " + InstallDir().string() + " des Produkts fehlt.");
    ASSERT_EQ(run.report.Types.size(), 4u);
    EXPECT_EQ(qb::ProblemTextGerman(run.report.Types[1].Problem), "Unhandled Archive Type");
    Tree devNow = ReadTree(ConfigDir() / "dev");
    devNow.erase("dev.zip");  // the package waits for the next run
    EXPECT_EQ(devNow, oldDev);
    EXPECT_EQ(ReadTree(ConfigDir() / "partner").count("p.txt"), 1u);
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
    EXPECT_EQ(DateOf("dev"), "<none>");
}

TEST_F(UpdateRunTest, DescriptorErrorsAndUrls) {
    WriteDescriptor("<c><dev><date>1<!-- x -->2</date></dev></c>");
    qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -1);
    EXPECT_EQ(run.text, "Element \"date\" enthält keinen einzelnen Textknoten");

    // A windows-1252 descriptor, an absolute URL and a marker URL.
    kmtest::WriteZip(sandbox.Root() / "server" / "elsewhere" / "dev.zip", {{"dev/a.txt", "abs"}});
    kmtest::WriteZip(ProjectDir("tolvanconfig") / "sub" / "p.zip", {{"partner/b.txt", "marker"}});
    WriteDescriptor(
        "<?xml version=\"1.0\" encoding=\"windows-1252\"?><c>"
        "<dev><date>1</date><url>" +
            server.Url("/elsewhere/dev.zip") +
            "</url></dev>"
            "<partner><date>1</date><url>#QBCONFIGDIR#sub/p.zip</url>"
            "<torun>Gr\xfc\xdf"
            "e.exe</torun></partner></c>",
        "tolvanconfig");
    run = Run(false);
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"a.txt", "abs"}}));
    EXPECT_EQ(ReadTree(ConfigDir() / "partner"), (Tree{{"b.txt", "marker"}}));
    EXPECT_EQ(run.toRun, (ConfigDir() / "partner").string() + "/Grüße.exe");

    // A later type's broken element ends the run there: the types before it
    // are handled and stay installed.
    kmtest::WriteZip(ProjectDir() / "dev2.zip", {{"dev/a.txt", "second"}});
    WriteDescriptor(
        "<c><dev><date>2</date><url>dev2.zip</url></dev>"
        "<patch><date>2<!-- x -->3</date><url>patch.zip</url></patch></c>");
    run = Run();
    EXPECT_EQ(run.code, -1);
    EXPECT_EQ(run.text, "Element \"date\" enthält keinen einzelnen Textknoten");
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"a.txt", "second"}}));
}

TEST_F(UpdateRunTest, StopDuringAndAfterADownload) {
    // The dev package route stops the worker, then answers; partner's
    // package is a plain file.
    Publish({{"dev", {{"d.txt", "new"}}}, {"partner", {{"p.txt", "new"}}}}, "D2", "tolvanconfig");
    const std::string big(256 * 1024, 'x');
    std::atomic<bool> emptyBody{false};
    server.Route("/qbdata/tolvanconfig/dev.zip",
                 [&](const httplib::Request&, httplib::Response& response) {
                     qb::TConfigUpdaterThread* worker = nullptr;
                     while ((worker = current.load()) == nullptr) {
                         std::this_thread::yield();
                     }
                     worker->Terminate();
                     response.set_content(emptyBody ? std::string() : big, "application/zip");
                 });
    // Stopped during the download: -3 for dev, and partner's download fails
    // at its first progress report.
    EXPECT_EQ(Run(false).code, -303);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), OldDev());
    // Stopped after the last progress report: the complete file is discarded.
    emptyBody = true;
    EXPECT_EQ(Run(false).code, -300 - 1002);
    EXPECT_FALSE(fs::exists(ConfigDir() / "dev" / "dev.zip"));
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "<none>");
}

// A package that cannot be downloaded names its URL and the server's answer;
// a stop is reported as a stop, whatever step it ended.
TEST_F(UpdateRunTest, AFailedDownloadSaysWhyAndAStopIsAStop) {
    WriteDescriptor(Descriptor({{"patch", "missing.zip"}}));
    qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -100103);
    EXPECT_EQ(run.text, "Das Paket " + server.BaseUrl() + "/qbdata/" + kProject +
                            "/missing.zip konnte nicht geladen werden: HTTP/1.1 404 Not Found");
    ASSERT_EQ(run.report.Types.size(), 4u);
    EXPECT_EQ(run.report.Types[2].Outcome, qb::TOutcome::Failed);
    EXPECT_FALSE(run.report.Stopped);

    // Stopped while the descriptor downloads: -4 as the Parts have it, but
    // the report says it was a stop.
    server.Route("/qbdata/.*/configinfo.xml",
                 [this](const httplib::Request&, httplib::Response& r) {
                     qb::TConfigUpdaterThread* worker = nullptr;
                     while ((worker = current.load()) == nullptr) {
                         std::this_thread::yield();
                     }
                     worker->Terminate();
                     r.set_content(std::string(256 * 1024, ' '), "text/xml");
                 });
    run = Run();
    EXPECT_EQ(run.code, -404);
    EXPECT_TRUE(run.report.Stopped);
    for (const qb::TTypeReport& type : run.report.Types) {
        EXPECT_EQ(type.Outcome, qb::TOutcome::Stopped) << type.Type;
    }
}

// A build without keys never reads a package's digest, so a malformed one
// (a comment inside) changes nothing.
TEST_F(UpdateRunTest, AnUnsignedBuildIgnoresTheDigest) {
    kmtest::WriteZip(ProjectDir("tolvanconfig") / "dev.zip", {{"dev/d.txt", "new"}});
    WriteDescriptor(
        "<c><dev><date>D1</date><url>dev.zip</url><sha256>ab<!-- x -->cd</sha256></dev></c>",
        "tolvanconfig");
    const qbtest::TRunResult run = Run(false);
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "new"}}));
}

// A package download that a stop ended half-way is continued by the next run
// with a range request, If-Range naming the first answer's ETag.
TEST_F(UpdateRunTest, ADownloadStoppedHalfWayContinuesInTheNextRun) {
    std::string content(2 << 20, '\0');
    std::mt19937_64 random(7);
    for (char& c : content) {
        c = static_cast<char>(random() & 0xff);
    }
    kmtest::WriteZip(ProjectDir() / "patch.zip",
                     {kmtest::ZipEntrySpec("patch/app.bin", content).AsStored()});
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    const auto zip =
        std::make_shared<std::string>(kmtest::ReadTextFile(ProjectDir() / "patch.zip"));
    std::mutex mutex;
    std::vector<std::string> asked;
    server.Route("/qbdata/.*/patch.zip",
                 [&](const httplib::Request& request, httplib::Response& response) {
                     const std::string range = request.get_header_value("Range");
                     {
                         const std::lock_guard lock(mutex);
                         asked.push_back(range + " if " + request.get_header_value("If-Range"));
                     }
                     response.set_header("ETag", "\"v1\"");
                     // Slow at first, so that the stop finds it half-way.
                     const bool slow = range.empty();
                     response.set_content_provider(
                         zip->size(), "application/zip",
                         [zip, slow](size_t offset, size_t length, httplib::DataSink& sink) {
                             if (slow) {
                                 std::this_thread::sleep_for(std::chrono::milliseconds(30));
                             }
                             sink.write(zip->data() + offset, std::min<size_t>(length, 64 * 1024));
                             return true;
                         });
                 });
    const qbtest::TRunResult stopped = Run(true, std::chrono::milliseconds(400));
    ASSERT_EQ(stopped.report.Types.size(), 4u);
    EXPECT_EQ(stopped.report.Types[2].Outcome, qb::TOutcome::Stopped);
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v1");
    ASSERT_TRUE(fs::exists(sandbox.PrivateTemp() / "partial"));

    const qbtest::TRunResult next = Run();
    EXPECT_EQ(next.code, 2) << next.text;
    EXPECT_TRUE(kmtest::ReadTextFile(InstallDir() / "app.bin") == content);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], " if ");
    EXPECT_TRUE(asked[1].starts_with("bytes=")) << asked[1];
    EXPECT_NE(asked[1].substr(6, 2), "0-") << asked[1];
    EXPECT_TRUE(asked[1].ends_with(" if \"v1\"")) << asked[1];
    EXPECT_FALSE(fs::exists(sandbox.PrivateTemp() / "partial"));
}

TEST_F(UpdateRunTest, NoDataFolderTouchesNoRelativePath) {
    km::WriteRegString("DatabaseDir", "", qb::kProductRegistryKey);
    Publish({{"dev", {{"d.txt", "new"}}}}, "D3");
    const fs::path cwd = fs::current_path();
    fs::current_path(sandbox.Root());
    const qbtest::TRunResult run = Run();
    fs::current_path(cwd);
    EXPECT_EQ(run.code, -100107);  // install: no entry; patch: no folders
    EXPECT_FALSE(fs::exists(sandbox.Root() / "dev"));
    EXPECT_FALSE(fs::exists(sandbox.Root() / "patch"));

    // Without a descriptor the user hears of the connection, not the folder.
    EXPECT_EQ(Run(true, std::chrono::milliseconds(0), "http://127.0.0.1:1").code, -404);
    EXPECT_EQ(Run(false, std::chrono::milliseconds(0), "http://127.0.0.1:1").code, -404);
}

TEST_F(UpdateRunTest, AKilledRunIsRecoveredBeforeAnythingElse) {
    // A replacement killed between its two moves, and a copy into the
    // installation folder killed half-way.
    fs::rename(ConfigDir() / "dev", ConfigDir() / "dev.~qbold");
    MakeTree(InstallDir() / ".~qbbackup", {{"app.bin", "v1"}});
    kmtest::WriteTextFile(InstallDir() / "app.bin", "half");
    kmtest::WriteTextFile(
        ConfigDir() / "~qbcopyin.journal",
        "T " + InstallDir().string() + "\nB " + InstallDir().string() + "/.~qbbackup\nR app.bin\n");
    MakeTree(ConfigDir() / "~qb01234" / "patch", {{"x", "x"}});
    EXPECT_EQ(Run().code, -404);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), OldDev());
    EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
    EXPECT_FALSE(fs::exists(ConfigDir() / "~qb01234"));
    EXPECT_FALSE(fs::exists(ConfigDir() / "~qbcopyin.journal"));
}

TEST_F(UpdateRunTest, ALockFileThatCannotBeOpenedDoesNotStopTheUpdate) {
    fs::create_symlink(sandbox.Root() / "nowhere", ConfigDir() / "~qbupdate.lock");
    Publish({{"dev", {{"d.txt", "new"}}}}, "D4", "tolvanconfig");
    const qbtest::TRunResult run = Run(false);
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "new"}}));
}

TEST(ConfigUpdaterThread, ConstructorChecksAndNames) {
    kmtest::Sandbox sandbox;
    km::TThreadManager manager;
    EXPECT_THROW(
        {
            try {
                km::CreateManagedThread<qb::TConfigUpdaterThread>(qb::kUpdaterThreadId, &manager,
                                                                  true, true, "");
            } catch (const km::EInternalError& e) {
                EXPECT_STREQ(e.what(), "Project name must be specified for OnlineUpdater");
                throw;
            }
        },
        km::EInternalError);
    try {
        km::CreateManagedThread<qb::TConfigUpdaterThread>(qb::kUpdaterThreadId, &manager, true,
                                                          false, "x");
        ADD_FAILURE();
    } catch (const km::EInternalError& e) {
        EXPECT_STREQ(e.what(), "For Quorbel the project name must always be empty");
    }
    EXPECT_FALSE(manager.IsRunning(qb::kUpdaterThreadId));
    EXPECT_TRUE(fs::is_empty(sandbox.TempBase()));  // no working folder left behind
}

}  // namespace
