#include "DrillFixture.h"

#include <sys/resource.h>

#include "common/registry/KmRegistry.h"
#include "common/thread/Thread.h"
#include "common/thread/ThreadManager.h"
#include "quorbel/InstallPaths.h"

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

void UpdateDrill::SetUp() {
    km::SetRegistryRoot(qb::kProductRegistryKey);
    km::WriteRegString("InstallDir", InstallDir().string(), qb::kProductRegistryKey);
    km::WriteRegString("DatabaseDir", DataDir().string(), qb::kProductRegistryKey);
    MakeTree(InstallDir(), OldInstall());
    MakeTree(ConfigDir() / "dev", OldDev());
    MakeTree(ConfigDir() / "partner", OldPartner());
    fs::create_directories(sandbox.Root() / "server");
    server.ServeDirectory(sandbox.Root() / "server", "/");
}

void UpdateDrill::WriteDescriptor(const std::string& text, const std::string& project) {
    kmtest::WriteTextFile(ProjectDir(project) / "configinfo.xml", text);
}

std::string UpdateDrill::Descriptor(const std::map<std::string, std::string>& urls) {
    std::string xml = "<configinfo>";
    for (const auto& [type, url] : urls) {
        xml += "<" + type + "><date>D1</date><url>" + url + "</url></" + type + ">";
    }
    return xml + "</configinfo>";
}

TRunResult UpdateDrill::Run(bool installerMode, std::chrono::milliseconds stopAfter,
                            const std::string& serverRoot) {
    km::TThreadManager manager;
    auto* worker = km::CreateManagedThread<qb::TConfigUpdaterThread>(
        kThreadId, &manager, true, installerMode, installerMode ? kProject : "",
        serverRoot.empty() ? server.BaseUrl() : serverRoot, passwords);
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point stopped{};
    while (manager.IsRunning(kThreadId)) {
        km::CheckSynchronize(std::chrono::milliseconds(10));
        if (stopAfter.count() > 0 && stopped == std::chrono::steady_clock::time_point{} &&
            std::chrono::steady_clock::now() - start >= stopAfter) {
            worker->Terminate();
            stopped = std::chrono::steady_clock::now();
        }
    }
    TRunResult result;
    result.code = manager.GetThreadResult(kThreadId);
    result.text = manager.GetCustomThreadResult(kThreadId);
    if (stopped != std::chrono::steady_clock::time_point{}) {
        result.stopLatency = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - stopped);
    }
    return result;
}

void UpdateDrill::ExpectProductUnchanged() {
    Tree dev = ReadTree(ConfigDir() / "dev");
    dev.erase("dev.zip");
    EXPECT_EQ(dev, OldDev());
    Tree partner = ReadTree(ConfigDir() / "partner");
    partner.erase("partner.zip");
    EXPECT_EQ(partner, OldPartner());
    EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
    for (const auto& entry : fs::directory_iterator(ConfigDir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "dev" || name == "partner" || name == "patch" ||
                    name == "~qbupdate.lock")
            << "left in the configuration folder: " << name;
    }
}

std::string UpdateDrill::RegValue(const std::string& name) {
    return km::ReadRegString(name, "<none>");
}

}  // namespace qbtest
