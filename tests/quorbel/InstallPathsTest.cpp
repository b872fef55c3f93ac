#include "quorbel/InstallPaths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/base/KmException.h"
#include "common/registry/KmRegistry.h"
#include "support/Sandbox.h"

namespace {

namespace fs = std::filesystem;

class InstallPathsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetRegistryRoot(qb::kProductRegistryKey);
        fs::create_directories(sandbox.TempBase());
    }
    void Seed(const std::string& installDir, const std::string& dataDir) {
        ASSERT_TRUE(km::WriteRegString("InstallDir", installDir, qb::kProductRegistryKey));
        ASSERT_TRUE(km::WriteRegString("DatabaseDir", dataDir, qb::kProductRegistryKey));
    }

    kmtest::Sandbox sandbox;
};

TEST_F(InstallPathsTest, EachTypeGetsItsFolders) {
    // A data folder without a trailing "/" gets one, an installation folder
    // with one keeps it.
    Seed("/opt/q/", "/var/q");
    struct TCase {
        const char* type;
        std::string archiveDir;
        std::string targetDir;
        bool deleteAll;
    };
    const TCase cases[] = {
        {"dev", "/var/q/config/dev/", "/var/q/config/dev/", true},
        {"partner", "/var/q/config/partner/", "/var/q/config/partner/", true},
        {"patch", "/var/q/config/patch/", "/opt/q/", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.type);
        const qb::TUpdateTypeDirs dirs = qb::GetUpdateTypeDirs(c.type);
        EXPECT_EQ(dirs.ArchiveDir, c.archiveDir);
        EXPECT_EQ(dirs.TargetDir, c.targetDir);
        EXPECT_EQ(dirs.DeleteAll, c.deleteAll);
        EXPECT_STREQ(dirs.Type->Name, c.type);
    }
    EXPECT_EQ(qb::GetConfigDir(), "/var/q/config/");
}

TEST_F(InstallPathsTest, EveryInstallLookupMakesANewWorkingFolder) {
    Seed("/opt/q", "/var/q");
    const qb::TUpdateTypeDirs first = qb::GetUpdateTypeDirs("install");
    const qb::TUpdateTypeDirs second = qb::GetUpdateTypeDirs("install");
    EXPECT_NE(first.ArchiveDir, second.ArchiveDir);
    for (const qb::TUpdateTypeDirs* dirs : {&first, &second}) {
        EXPECT_EQ(dirs->TargetDir, dirs->ArchiveDir);
        EXPECT_FALSE(dirs->DeleteAll);
        const fs::path folder = fs::path(dirs->ArchiveDir).parent_path();
        EXPECT_EQ(folder.parent_path(), sandbox.PrivateTemp());
        EXPECT_EQ(folder.filename().string().substr(0, 3), "~qo");
        EXPECT_TRUE(fs::is_directory(folder));
    }
}

TEST_F(InstallPathsTest, WithoutRecordedFoldersTheFoldersAreBare) {
    EXPECT_EQ(qb::GetInstallDir(), "");
    EXPECT_EQ(qb::GetConfigDir(), "");
    EXPECT_EQ(qb::GetUpdateTypeDirs("dev").ArchiveDir, "dev/");
    EXPECT_EQ(qb::GetUpdateTypeDirs("patch").TargetDir, "");
}

TEST_F(InstallPathsTest, OnlyTheFourNamesInLowerCaseAreTypes) {
    for (const char* name : {"Dev", "DEV", "", "dev ", "config"}) {
        try {
            qb::GetUpdateTypeDirs(name);
            ADD_FAILURE() << name;
        } catch (const km::EInternalError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Unknown online update type: ") + name);
        }
    }
}

}  // namespace
