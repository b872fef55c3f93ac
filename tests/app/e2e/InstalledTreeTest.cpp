// The program as a packager installs it: into a prefix other than the one
// the build was configured with, and after the installed tree was moved, it
// still finds its message catalogue (LANGUAGE=en shows English).

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "support/Sandbox.h"

namespace {

namespace fs = std::filesystem;

bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

class InstalledTree : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"xvfb-run", "xdotool"}) {
            if (!HaveProgram(program)) {
                GTEST_SKIP() << program << " is not installed";
            }
        }
        ASSERT_NE(fs::path(Prefix()), fs::path(QB_CONFIGURED_PREFIX));
    }

    std::string Prefix() const { return (fSandbox.Root() / "opt" / "qb").string(); }

    void Install() {
        const std::string command =
            "'" QB_CMAKE_COMMAND "' --install '" QB_BUILD_DIR "' --prefix '" + Prefix() + "' > '" +
            (fSandbox.Root() / "install.log").string() + "' 2>&1";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << kmtest::ReadTextFile(fSandbox.Root() / "install.log");
    }

    // The names of the windows the program shows first, in the language
    // given (nullopt: the user's default, German).
    std::string WindowTitles(const fs::path& program, std::optional<std::string> language) {
        const kmtest::ScopedEnv env("LANGUAGE", std::move(language));
        const fs::path out = fSandbox.Root() / ("out-" + std::to_string(++fRuns));
        fs::create_directories(out);
        const std::string display = std::to_string(400 + getpid() % 20000);
        const std::string command = "xvfb-run -a -n " + display +
                                    " -s '-screen 0 1024x768x24 -noreset' '" QB_TITLES_DRIVER
                                    "' '" +
                                    program.string() + "' '" + out.string() + "' 60";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
        return kmtest::ReadTextFile(out / "titles");
    }

    kmtest::Sandbox fSandbox;
    kmtest::ScopedEnv fLocale{"LC_ALL", "C.UTF-8"};
    // Sanitizer builds: the system's D-Bus library keeps a buffer to the end.
    kmtest::ScopedEnv fLeakSuppressions{"LSAN_OPTIONS", "suppressions=" QB_E2E_LSAN_SUPPRESSIONS};
    int fRuns = 0;
};

TEST_F(InstalledTree, FindsItsCatalogueInAnyPrefixAndAfterBeingMoved) {
    Install();
    const fs::path installed = fs::path(Prefix()) / "bin" / "QbOnlineUpdater";
    EXPECT_EQ(WindowTitles(installed, "en"), "Program update\n");
    EXPECT_EQ(WindowTitles(installed, std::nullopt), "Programmaktualisierung\n");

    const fs::path moved = fSandbox.Root() / "elsewhere";
    fs::rename(Prefix(), moved);
    EXPECT_EQ(WindowTitles(moved / "bin" / "QbOnlineUpdater", "en"), "Program update\n");
}

}  // namespace
