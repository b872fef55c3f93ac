#include "common/files/WorkDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

void MakeOld(const fs::path& path, std::chrono::hours age) {
    const time_t then = std::time(nullptr) - static_cast<time_t>(age.count() * 3600);
    const utimbuf times{then, then};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(WorkDir, IsMadeHeldAndDeletedWithItsContent) {
    kmtest::Sandbox sandbox;
    std::string path;
    {
        const km::TWorkDir work("~qb");
        path = work.Path();
        EXPECT_EQ(fs::path(path).parent_path().parent_path(), sandbox.PrivateTemp());
        kmtest::WriteTextFile(fs::path(path) / "sub/file", "x");
        // A clean-up while the run lives leaves its folder alone.
        km::RemoveStaleWorkDirs(sandbox.PrivateTemp().string(), "~qb", std::chrono::seconds(0));
        EXPECT_TRUE(fs::exists(fs::path(path) / "sub/file"));
    }
    EXPECT_FALSE(fs::exists(path));
}

// What killed runs left goes; what live runs hold, young install folders and
// anything that is not a real working folder of ours stays.
TEST(WorkDir, CleanUpTakesOnlyWhatNoLiveRunHolds) {
    kmtest::Sandbox sandbox;
    const fs::path dir = sandbox.PrivateTemp();
    const km::TWorkDir live("~qb");
    fs::create_directories(dir / "~qb12345/deep");
    kmtest::WriteTextFile(dir / "~qb12345/deep/dev.zip.part", "half");
    fs::create_directories(dir / "~qo11111");
    kmtest::WriteTextFile(dir / "~qo11111/setup.sh", "fresh");
    fs::create_directories(dir / "~qo22222");
    MakeOld(dir / "~qo22222", std::chrono::hours(25));
    const fs::path outside = sandbox.Root() / "outside";
    fs::create_directories(outside);
    kmtest::WriteTextFile(outside / "keep", "k");
    fs::create_directory_symlink(outside, dir / "~qb54321");
    fs::create_directories(dir / "~qb9");  // not a name of ours
    fs::create_directories(dir / "other");

    km::RemoveStaleWorkDirs(dir.string(), "~qb", std::chrono::seconds(0));
    km::RemoveStaleWorkDirs(dir.string(), "~qo", std::chrono::hours(24));

    EXPECT_TRUE(fs::exists(live.Path()));
    EXPECT_FALSE(fs::exists(dir / "~qb12345"));
    EXPECT_TRUE(fs::exists(dir / "~qo11111/setup.sh"));
    EXPECT_FALSE(fs::exists(dir / "~qo22222"));
    EXPECT_TRUE(fs::is_symlink(dir / "~qb54321"));
    EXPECT_TRUE(fs::exists(outside / "keep"));
    EXPECT_TRUE(fs::exists(dir / "~qb9"));
    EXPECT_TRUE(fs::exists(dir / "other"));
}

}  // namespace
