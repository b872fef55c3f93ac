// Whole update runs of the worker against a local configuration server, with
// a sandbox registry, sandbox product folders and a sandbox temporary folder.

#include <gtest/gtest.h>
#include <zip.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "Publisher.h"
#include "common/files/FileOps.h"
#include "common/registry/KmRegistry.h"
#include "common/thread/Thread.h"
#include "common/thread/ThreadManager.h"
#include "quorbel/ConfigUpdaterThread.h"
#include "quorbel/InstallPaths.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;

constexpr const char* kProject = "240611TolvanUpdK718";
constexpr const char* kThreadId = "QBConfigUpdaterThread";

// An archive with exactly the given entries (names ending in "/" are folders).
void WriteZip(const fs::path& file, const Tree& entries) {
    fs::create_directories(file.parent_path());
    int error = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    for (const auto& [name, content] : entries) {
        if (name.back() == '/') {
            zip_dir_add(archive, name.c_str(), 0);
        } else {
            zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
            zip_file_add(archive, name.c_str(), source, 0);
        }
    }
    ASSERT_EQ(zip_close(archive), 0);
}

struct RunResult {
    int code = 0;
    std::string text;
    std::string toRun;
    std::string runParams;
};

class UpdateRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetRegistryRoot("Software\\kelmirath\\Tolvan");
        km::WriteRegString("InstallDir", InstallDir().string(), qb::kProductRegistryKey);
        km::WriteRegString("DatabaseDir", DataDir().string(), qb::kProductRegistryKey);
        MakeTree(InstallDir(), {{"app.bin", "v1"}, {"keep.txt", "keep"}});
        MakeTree(ConfigDir() / "dev", {{"d.txt", "old dev"}});
        MakeTree(ConfigDir() / "partner", {{"p.txt", "old partner"}});
        server.ServeDirectory(sandbox.Root() / "server", "/");
    }

    fs::path DataDir() const { return sandbox.Root() / "data"; }
    fs::path ConfigDir() const { return DataDir() / "config"; }
    fs::path InstallDir() const { return sandbox.Root() / "install"; }
    fs::path ProjectDir(const std::string& project = kProject) const {
        return sandbox.Root() / "server" / "qbdata" / project;
    }

    // Publishes one folder per type (content below the type folder) with one date.
    void Publish(const std::map<std::string, Tree>& types, const std::string& date,
                 const std::string& project = kProject,
                 std::map<std::string, qbpublish::TTypeOptions> options = {}) {
        const fs::path source = sandbox.Root() / ("source-" + date);
        fs::remove_all(source);
        for (const auto& [type, tree] : types) {
            MakeTree(source / type, tree);
        }
        qbpublish::TPublishOptions publish;
        publish.SourceDir = source.string();
        publish.OutDir = ProjectDir(project).string();
        publish.Date = date;
        publish.Types = std::move(options);
        qbpublish::Publish(publish);
    }

    void WriteDescriptor(const std::string& text, const std::string& project = kProject) {
        kmtest::WriteTextFile(ProjectDir(project) / "configinfo.xml", text);
    }

    RunResult Run(bool installerMode = true, const std::string& project = kProject,
                  const std::function<void(qb::TConfigUpdaterThread&)>& whileRunning = {}) {
        km::TThreadManager manager;
        auto* worker = km::CreateManagedThread<qb::TConfigUpdaterThread>(
            kThreadId, &manager, true, installerMode, project, server.BaseUrl());
        current.store(worker);
        if (whileRunning) {
            whileRunning(*worker);
        }
        while (manager.IsRunning(kThreadId)) {
            km::CheckSynchronize(std::chrono::milliseconds(20));
        }
        current.store(nullptr);
        RunResult result;
        result.code = manager.GetThreadResult(kThreadId);
        result.text = manager.GetCustomThreadResult(kThreadId);
        auto* ended = dynamic_cast<qb::TConfigUpdaterThread*>(manager.GetThread(kThreadId));
        result.toRun = ended->GetToRun();
        result.runParams = ended->RunParams();
        return result;
    }

    std::string RegValue(const std::string& name) { return km::ReadRegString(name, "<none>"); }

    kmtest::Sandbox sandbox;
    kmtest::TestHttpServer server;
    std::atomic<qb::TConfigUpdaterThread*> current{nullptr};
};

TEST_F(UpdateRunTest, InstallsEveryTypeThenFindsEverythingCurrent) {
    const Tree dev{{"d.txt", "new dev"}, {"sub", "/"}, {"sub/x.cfg", "x"}};
    const Tree partner{{"p.txt", "new partner"}};
    Publish({{"dev", dev},
             {"partner", partner},
             {"patch", {{"app.bin", "v2"}, {"lib", "/"}, {"lib/new.so", "so"}}},
             {"install", {{"setup.sh", "#!/bin/sh\n"}}}},
            "20240611", kProject, {{"install", {"", "setup.sh", "/quiet \"a b\""}}});

    const RunResult first = Run();
    EXPECT_EQ(first.code, 7) << first.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), dev);
    EXPECT_EQ(ReadTree(ConfigDir() / "partner"), partner);
    EXPECT_EQ(ReadTree(InstallDir()),
              (Tree{{"app.bin", "v2"}, {"keep.txt", "keep"}, {"lib", "/"}, {"lib/new.so", "so"}}));
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
    // The follow-up program lies in a new "~qo" folder in the temporary folder.
    const fs::path toRun(first.toRun);
    EXPECT_EQ(toRun.filename(), "setup.sh");
    EXPECT_EQ(toRun.parent_path().parent_path(), sandbox.TempBase());
    EXPECT_EQ(toRun.parent_path().filename().string().substr(0, 3), "~qo");
    EXPECT_EQ(kmtest::ReadTextFile(toRun), "#!/bin/sh\n");
    EXPECT_EQ(first.runParams, "/quiet \"a b\"");
    for (const char* type : {"dev", "partner", "patch", "install"}) {
        EXPECT_EQ(RegValue(std::string("lastconfigupdate.") + kProject + "." + type), "20240611")
            << type;
    }
    // Nothing of ours is left behind but the install folder.
    for (const auto& entry : fs::directory_iterator(sandbox.TempBase())) {
        EXPECT_EQ(entry.path().filename().string().substr(0, 3), "~qo") << entry.path();
    }
    for (const auto& entry : fs::directory_iterator(ConfigDir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "dev" || name == "partner" || name == "patch" ||
                    name == "~qbupdate.lock")
            << name;
    }

    const RunResult second = Run();
    EXPECT_EQ(second.code, -101101);
    EXPECT_EQ(second.runParams, "/quiet \"a b\"");  // taken from the entry even when nothing is new
}

TEST_F(UpdateRunTest, OfflineAndDefaultProject) {
    // Installer mode, no descriptor, nothing waiting locally.
    EXPECT_EQ(Run().code, -404);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "old dev"}}));

    // Without installer mode the project is the default one and the value
    // names have no project part.
    Publish({{"dev", {{"d.txt", "v"}}}}, "D1", "tolvanconfig");
    const RunResult run = Run(false, "");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "D1");
    EXPECT_EQ(RegValue("lastconfigupdate.partner"), "<none>");
    EXPECT_EQ(Run(false, "").code, -101101);  // partner: no entry (-1001); dev: current (-1001)
}

TEST_F(UpdateRunTest, LocalArchiveIsInstalledFirstAndRecordedAsInit) {
    WriteZip(ConfigDir() / "dev" / "dev.zip", {{"dev/", ""}, {"dev/local.txt", "local"}});
    const RunResult run = Run(false, "");  // no descriptor on the server
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"local.txt", "local"}}));
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "init");
}

TEST_F(UpdateRunTest, ForceInstallsOnEveryRunAndOnlyEqualityCounts) {
    Publish({{"dev", {{"d.txt", "forced"}}}}, "force", "tolvanconfig");
    EXPECT_EQ(Run(false, "").code, 1);
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "force");
    fs::remove(ConfigDir() / "dev" / "d.txt");
    EXPECT_EQ(Run(false, "").code, 1);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "forced"}}));

    // A recorded date newer than the descriptor's is just different.
    Publish({{"dev", {{"d.txt", "older"}}}}, "20200101", "tolvanconfig");
    km::WriteRegString("lastconfigupdate.dev", "20300101");
    EXPECT_EQ(Run(false, "").code, 1);
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "20200101");
}

TEST_F(UpdateRunTest, PackageFailuresKeepTheProductAsItWas) {
    const Tree oldDev = ReadTree(ConfigDir() / "dev");
    // dev: no "dev" folder in the package; partner: not an archive at all.
    WriteZip(ProjectDir() / "dev.zip", {{"other/", ""}, {"other/x.txt", "x"}});
    kmtest::WriteTextFile(ProjectDir() / "partner.zip", "<html>404</html>");
    // patch: the installation folder is gone.
    WriteZip(ProjectDir() / "patch.zip", {{"patch/app.bin", "v2"}});
    WriteDescriptor(R"(<c>
      <dev><date>1</date><url>dev.zip</url></dev>
      <partner><date>1</date><url>partner.zip</url></partner>
      <patch><date>1</date><url>#QBCONFIGDIR#patch.zip</url></patch>
    </c>)");
    fs::remove_all(InstallDir());
    const RunResult run = Run();
    EXPECT_EQ(run.code, -100107);                   // install: no entry; patch: no target
    EXPECT_EQ(run.text, "Unhandled Archive Type");  // the partner failure
    Tree devNow = ReadTree(ConfigDir() / "dev");
    devNow.erase("dev.zip");  // the package waits for the next run
    EXPECT_EQ(devNow, oldDev);
    EXPECT_EQ(ReadTree(ConfigDir() / "partner").count("p.txt"), 1u);
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
    EXPECT_EQ(RegValue(std::string("lastconfigupdate.") + kProject + ".dev"), "<none>");
}

TEST_F(UpdateRunTest, DescriptorErrorsAndUrls) {
    WriteDescriptor("<c><dev><date>1<!-- x -->2</date></dev></c>");
    RunResult run = Run();
    EXPECT_EQ(run.code, -1);
    EXPECT_EQ(run.text, "Element \"date\" enthält keinen einzelnen Textknoten");

    // A windows-1252 descriptor, an absolute URL and a marker URL.
    WriteZip(sandbox.Root() / "server" / "elsewhere" / "dev.zip", {{"dev/a.txt", "abs"}});
    WriteZip(ProjectDir("tolvanconfig") / "sub" / "p.zip", {{"partner/b.txt", "marker"}});
    WriteDescriptor(
        "<?xml version=\"1.0\" encoding=\"windows-1252\"?><c>"
        "<dev><date>1</date><url>" +
            server.Url("/elsewhere/dev.zip") +
            "</url></dev>"
            "<partner><date>1</date><url>#QBCONFIGDIR#sub/p.zip</url>"
            "<torun>Gr\xfc\xdf"
            "e.exe</torun></partner></c>",
        "tolvanconfig");
    run = Run(false, "");
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"a.txt", "abs"}}));
    EXPECT_EQ(ReadTree(ConfigDir() / "partner"), (Tree{{"b.txt", "marker"}}));
    EXPECT_EQ(run.toRun, (ConfigDir() / "partner").string() + "/Grüße.exe");
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
    EXPECT_EQ(Run(false, "").code, -303);
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "old dev"}}));
    // Stopped after the last progress report: the complete file is discarded.
    emptyBody = true;
    EXPECT_EQ(Run(false, "").code, -300 - 1002);
    EXPECT_FALSE(fs::exists(ConfigDir() / "dev" / "dev.zip"));
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "<none>");
}

TEST_F(UpdateRunTest, NoDataFolderTouchesNoRelativePath) {
    km::WriteRegString("DatabaseDir", "", qb::kProductRegistryKey);
    Publish({{"dev", {{"d.txt", "new"}}}}, "D3");
    const fs::path cwd = fs::current_path();
    fs::current_path(sandbox.Root());
    const RunResult run = Run();
    fs::current_path(cwd);
    EXPECT_EQ(run.code, -100107);  // install: no entry; patch: no folders
    EXPECT_FALSE(fs::exists(sandbox.Root() / "dev"));
    EXPECT_FALSE(fs::exists(sandbox.Root() / "patch"));
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
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "old dev"}}));
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v1"}, {"keep.txt", "keep"}}));
    EXPECT_FALSE(fs::exists(ConfigDir() / "~qb01234"));
    EXPECT_FALSE(fs::exists(ConfigDir() / "~qbcopyin.journal"));
}

TEST_F(UpdateRunTest, ALockFileThatCannotBeOpenedDoesNotStopTheUpdate) {
    fs::create_symlink(sandbox.Root() / "nowhere", ConfigDir() / "~qbupdate.lock");
    Publish({{"dev", {{"d.txt", "new"}}}}, "D4", "tolvanconfig");
    const RunResult run = Run(false, "");
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "new"}}));
}

TEST(ConfigUpdaterThread, ConstructorChecksAndNames) {
    kmtest::Sandbox sandbox;
    km::TThreadManager manager;
    EXPECT_THROW(
        {
            try {
                km::CreateManagedThread<qb::TConfigUpdaterThread>(kThreadId, &manager, true, true,
                                                                  "");
            } catch (const km::EInternalError& e) {
                EXPECT_STREQ(e.what(), "Project name must be specified for OnlineUpdater");
                throw;
            }
        },
        km::EInternalError);
    try {
        km::CreateManagedThread<qb::TConfigUpdaterThread>(kThreadId, &manager, true, false, "x");
        ADD_FAILURE();
    } catch (const km::EInternalError& e) {
        EXPECT_STREQ(e.what(), "For Quorbel the project name must always be empty");
    }
    EXPECT_FALSE(manager.IsRunning(kThreadId));
    EXPECT_TRUE(fs::is_empty(sandbox.TempBase()));  // no working folder left behind
}

}  // namespace
