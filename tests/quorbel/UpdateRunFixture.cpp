#include "UpdateRunFixture.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

#include "common/registry/KmRegistry.h"
#include "quorbel/InstallPaths.h"
#include "quorbel/UpdateRun.h"

namespace qbtest {

namespace fs = std::filesystem;

std::vector<std::string> ListAll(const fs::path& root) {
    std::vector<std::string> all;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        all.push_back(fs::relative(it->path(), root).string());
    }
    return all;
}

long MaxRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void UpdateRunFixture::SetUp() {
    km::SetRegistryRoot(qb::kProductRegistryKey);
    km::WriteRegString("InstallDir", InstallDir().string(), qb::kProductRegistryKey);
    km::WriteRegString("DatabaseDir", DataDir().string(), qb::kProductRegistryKey);
    MakeTree(InstallDir(), OldInstall());
    MakeTree(ConfigDir() / "dev", OldDev());
    MakeTree(ConfigDir() / "partner", OldPartner());
    fs::create_directories(sandbox.Root() / "server");
    server.ServeDirectory(sandbox.Root() / "server", "/");
}

void UpdateRunFixture::Publish(const std::map<std::string, Tree>& types, const std::string& date,
                               const std::string& project,
                               std::map<std::string, qbpublish::TTypeOptions> options) {
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

void UpdateRunFixture::WriteDescriptor(const std::string& text, const std::string& project) {
    kmtest::WriteTextFile(ProjectDir(project) / "configinfo.xml", text);
}

std::string UpdateRunFixture::Descriptor(const std::map<std::string, std::string>& urls) {
    std::string xml = "<configinfo>";
    for (const auto& [type, url] : urls) {
        xml += "<" + type + "><date>D1</date><url>" + url + "</url></" + type + ">";
    }
    return xml + "</configinfo>";
}

TRunResult UpdateRunFixture::Run(bool installerMode, std::chrono::milliseconds stopAfter,
                                 const std::string& serverRoot) {
    using Clock = std::chrono::steady_clock;
    qb::TUpdateRunSettings settings;
    settings.InstallerMode = installerMode;
    settings.Worker.ConfigServerRoot = serverRoot.empty() ? server.BaseUrl() : serverRoot;
    settings.Worker.ArchivePasswords = passwords;
    settings.Worker.StallTimeout = stallTimeout;
    settings.Worker.LockWait = lockWait;
    const Clock::time_point start = Clock::now();
    Clock::time_point stopped{};
    bool overdue = false;
    const qb::TUpdateRunResult run =
        qb::RunUpdateToEnd(settings, [&](qb::TConfigUpdaterThread& worker) {
            current.store(&worker);
            const Clock::duration elapsed = Clock::now() - start;
            if (stopAfter.count() > 0 && stopped == Clock::time_point{} && elapsed >= stopAfter) {
                worker.Terminate();
                stopped = Clock::now();
            }
            if (!overdue && elapsed >= kRunDeadline) {
                overdue = true;
                ADD_FAILURE() << "the update run did not end within " << kRunDeadline.count()
                              << " s; asking it to stop";
                worker.Terminate();
            }
            if (elapsed >= 2 * kRunDeadline) {
                std::fprintf(stderr, "the update run does not stop; giving up\n");
                std::abort();
            }
        });
    current.store(nullptr);
    TRunResult result;
    result.code = run.Code;
    result.text = run.Text;
    result.toRun = run.ToRunPath;
    result.runParams = run.RunParams;
    if (stopped != Clock::time_point{}) {
        result.stopLatency =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped);
    }
    return result;
}

void UpdateRunFixture::ExpectProductUnchanged() {
    Tree dev = ReadTree(ConfigDir() / "dev");
    dev.erase("dev.zip");
    EXPECT_EQ(dev, OldDev());
    Tree partner = ReadTree(ConfigDir() / "partner");
    partner.erase("partner.zip");
    EXPECT_EQ(partner, OldPartner());
    EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
    ExpectOnlyInConfigDir({"dev", "partner", "patch"});
}

void UpdateRunFixture::ExpectOnlyInConfigDir(const std::vector<std::string>& names) {
    for (const auto& entry : fs::directory_iterator(ConfigDir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "~qbupdate.lock" ||
                    std::find(names.begin(), names.end(), name) != names.end())
            << "left in the configuration folder: " << name;
    }
}

std::string UpdateRunFixture::RegValue(const std::string& name) {
    return km::ReadRegString(name, "<none>");
}

}  // namespace qbtest
