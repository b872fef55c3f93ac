// Drill: another process writes the registry store in a loop while an update
// run reads the product's folders and records its dates there. No write may
// be lost on either side and a busy store must not show as an error.
//
// The writing process is registry_load_writer (writer/).

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "UpdateRunFixture.h"
#include "common/registry/KmRegistry.h"
#include "support/ZipFixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string LoadName(int i) {
    return "drill\\load." + std::to_string(i);
}

class RegistryLoadTest : public qbtest::UpdateRunFixture {};

TEST_F(RegistryLoadTest, UpdateRunAndAnotherWriterLoseNothing) {
    fs::create_directories(ProjectDir("tolvanconfig"));
    kmtest::WriteZip(ProjectDir("tolvanconfig") / "dev.zip",
                     {{"dev/"}, {"dev/new.txt", "new dev"}});

    // The writer stops by itself after a bounded number of writes, so the
    // wait for it below ends even when the stop file is never seen.
    std::string stopFile = (sandbox.Root() / "writer.stop").string();
    std::string program = QB_REGISTRY_LOAD_WRITER;
    char* argv[] = {program.data(), stopFile.data(), nullptr};
    pid_t writer = 0;
    ASSERT_EQ(posix_spawn(&writer, program.c_str(), nullptr, nullptr, argv, environ), 0);

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
