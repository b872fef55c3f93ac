#include "common/base/TrustedPath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/Sandbox.h"

namespace {

namespace fs = std::filesystem;

// Which folders named by the environment count: only those no other
// account could have chosen or could change.
TEST(TrustedPath, OnlyFoldersNoOtherAccountControls) {
    const kmtest::TempDir dir;  // this user's, 0700
    const fs::path own = dir.Path() / "own";
    fs::create_directories(own);
    fs::create_directories(dir.Path() / "open");
    ::chmod((dir.Path() / "open").c_str(), 0777);
    fs::create_directory_symlink(dir.Path() / "open", dir.Path() / "link-to-open");
    struct TCase {
        std::string path;
        bool parentOnly;
        bool trusted;
    };
    const TCase cases[] = {
        {own.string(), false, true},
        {(own / "not/made/yet").string(), false, true},  // made in a folder only we write
        {"/tmp", true, true},                            // sticky, as a parent
        {"/tmp", false, false},                          // sticky, used itself
        {"/tmp/kelmirath-not-made-yet", true, false},    // anybody could make it first
        {(dir.Path() / "open").string(), false, false},  // writable by all
        {(dir.Path() / "open/below").string(), false, false},
        {(dir.Path() / "link-to-open").string(), false, false},  // a link resolves
        {"relative/path", false, false},
    };
    for (const TCase& c : cases) {
        std::string why;
        EXPECT_EQ(km::IsTrustedPath(c.path, c.parentOnly, &why), c.trusted)
            << c.path << ": " << why;
    }
    if (::geteuid() == 0) {
        const fs::path foreign = dir.Path() / "foreign";
        fs::create_directories(foreign);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(km::IsTrustedPath(foreign.string(), false));
        EXPECT_FALSE(km::IsTrustedPath((foreign / "home").string(), false));
        const kmtest::ScopedEnv home("HOME", foreign.string());
        EXPECT_FALSE(km::TrustedEnvPath("HOME"));
    }
}

}  // namespace
