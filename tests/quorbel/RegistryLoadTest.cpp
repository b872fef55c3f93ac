// Drill: another process writes the registry store in a loop while an update
// run reads the product's folders and records its dates there. No write may
// be lost on either side and a busy store must not show as an error.
//
// The writing process is this test program again, running only the writer
// test below (it does nothing unless the drill starts it).

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "DrillFixture.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/InstallPaths.h"
#include "support/ZipFixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kWriterStopFile = "QB_DRILL_WRITER_STOP_FILE";
constexpr int kMaxWrites = 20000;

std::string LoadName(int i) {
    return "drill\\load." + std::to_string(i);
}

// The writing process: writes load values until the stop file exists (at
// most kMaxWrites), then records how many it wrote next to the stop file.
TEST(RegistryLoadWriter, WritesUntilStopped) {
    const char* stopFile = std::getenv(kWriterStopFile);
    if (stopFile == nullptr) {
        GTEST_SKIP() << "runs only as the writing process of the registry load drill";
    }
    km::SetRegistryRoot(qb::kProductRegistryKey);
    int written = 0;
    int failed = 0;
    while (written < kMaxWrites && !fs::exists(stopFile)) {
        if (!km::WriteRegString(LoadName(written), std::to_string(written))) {
            ++failed;
        }
        ++written;
    }
    kmtest::WriteTextFile(std::string(stopFile) + ".count", std::to_string(written));
    EXPECT_EQ(failed, 0);
}

class RegistryLoadTest : public qbtest::UpdateDrill {};

TEST_F(RegistryLoadTest, UpdateRunAndAnotherWriterLoseNothing) {
    fs::create_directories(ProjectDir("tolvanconfig"));
    kmtest::WriteZip(ProjectDir("tolvanconfig") / "dev.zip",
                     {{"dev/"}, {"dev/new.txt", "new dev"}});

    const std::string stopFile = (sandbox.Root() / "writer.stop").string();
    const std::string envStop = std::string(kWriterStopFile) + "=" + stopFile;
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.push_back(*e);
    }
    env.push_back(const_cast<char*>(envStop.c_str()));
    env.push_back(nullptr);
    std::string filter = "--gtest_filter=RegistryLoadWriter.WritesUntilStopped";
    char self[] = "/proc/self/exe";
    char* argv[] = {self, filter.data(), nullptr};
    pid_t writer = 0;
    ASSERT_EQ(posix_spawn(&writer, "/proc/self/exe", nullptr, nullptr, argv, env.data()), 0);

    // Let the writer get going first, then run a whole update under its load.
    for (int i = 0; i < 500 && km::ReadRegString(LoadName(10), "").empty(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    int runs = 0;
    int wrongRuns = 0;
    for (const char* date : {"D1", "D2"}) {
        WriteDescriptor(
            "<c><dev><date>" + std::string(date) + "</date><url>dev.zip</url></dev></c>",
            "tolvanconfig");
        const qbtest::TRunResult run = Run(false);
        ++runs;
        if (run.code != 1 || RegValue("lastconfigupdate.dev") != date) {
            ++wrongRuns;
        }
        EXPECT_EQ(run.code, 1) << run.text;
        EXPECT_EQ(RegValue("lastconfigupdate.dev"), date);
    }
    kmtest::WriteTextFile(stopFile, "");
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer reported failures";

    const int written = std::stoi(kmtest::ReadTextFile(stopFile + ".count"));
    int lost = 0;
    for (int i = 0; i < written; ++i) {
        lost += km::ReadRegString(LoadName(i), "<none>") != std::to_string(i) ? 1 : 0;
    }
    std::printf(
        "[ drill    ] registry under load: %d writes by the other process, %d lost; "
        "%d update runs, %d with a wrong result or date\n",
        written, lost, runs, wrongRuns);
    EXPECT_GT(written, 10);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), (qbtest::Tree{{"new.txt", "new dev"}}));
}

}  // namespace
