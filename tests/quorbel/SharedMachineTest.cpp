// Whole update runs on a machine shared with other local users, who may write
// the shared temporary folder and the product's shared data folder. Files of
// another user are made as root and handed to "nobody"; where the tests do not
// run as root, those cases are skipped. Every case checks what the user sees,
// that the product is as before (or updated as it would be without the
// attack) and that nothing outside the product changed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "UpdateRunFixture.h"
#include "common/files/UniqueFd.h"
#include "common/files/WorkDir.h"
#include "common/registry/KmRegistry.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;

// This process's name as the kernel keeps it.
std::string ProcessName() {
    std::string name = kmtest::ReadTextFile("/proc/self/comm");
    while (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

constexpr uid_t kOtherUser = 65534;

class SharedMachineTest : public qbtest::UpdateRunFixture {
  protected:
    fs::path Home() const { return sandbox.Root() / "home"; }
    static Tree HomeTree() {
        return {{"important.txt", "mine"}, {"docs", "/"}, {"docs/letter.txt", "letter"}};
    }
    void SetUp() override {
        UpdateRunFixture::SetUp();
        MakeTree(Home(), HomeTree());
    }
    static void GiveToOtherUser(const fs::path& path) {
        ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0) << path;
    }
    static mode_t ModeOf(const fs::path& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
};

// The patch type a vendor publishes while an attacker plants things.
const Tree kNewPatch{{"app.bin", "v2"}};
const Tree kPatchedInstall{{"app.bin", "v2"}, {"keep.txt", "keep"}};

TEST_F(SharedMachineTest, WhatOthersPlantInTheDataFolderIsNeverActedOn) {
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool needsRoot = false;
    };
    const std::string home = Home().string();
    const std::string install = InstallDir().string();
    const auto planted = [this](const std::string& text) {
        kmtest::WriteTextFile(ConfigDir() / "~qbcopyin.journal", text);
    };
    const auto plantedPatch = [this](const fs::path& folder) {
        kmtest::WriteZip(folder / "patch.zip",
                         {{"patch/lib/autoload-module.so", "attacker's"}, {"patch/app.bin", "x"}});
    };
    const Case cases[] = {
        {"a journal that deletes a home folder",
         [&] { planted("T " + home + "\nB " + home + "/docs\nA important.txt\n"); }},
        {"a journal that replaces a file from its own backup",
         [&] {
             MakeTree(Home() / ".~qbbackup", {{"important.txt", "attacker's"}});
             planted("T " + home + "\nB " + home + "/.~qbbackup\nR important.txt\n");
         }},
        {"a completed journal naming a foreign folder",
         [&] {
             kmtest::WriteTextFile(ConfigDir() / "~qbcopyin.journal.done",
                                   "T " + home + "\nB " + home + "/docs\n");
         }},
        {"a link as journal",
         [&] { fs::create_symlink(Home() / "important.txt", ConfigDir() / "~qbcopyin.journal"); }},
        {"a journal of another user naming the installation folder",
         [&] {
             planted("T " + install + "\nB " + install + "/.~qbbackup\nA keep.txt\n");
             GiveToOtherUser(ConfigDir() / "~qbcopyin.journal");
         },
         true},
        {"a waiting archive of another user",
         [&] {
             plantedPatch(ConfigDir() / "patch");
             GiveToOtherUser(ConfigDir() / "patch" / "patch.zip");
         },
         true},
        {"a waiting archive anyone may write",
         [&] {
             plantedPatch(ConfigDir() / "patch");
             fs::permissions(ConfigDir() / "patch" / "patch.zip", fs::perms::all);
         }},
        {"a link as the patch folder",
         [&] {
             plantedPatch(Home() / "planted");
             fs::remove_all(ConfigDir() / "patch");
             fs::create_directory_symlink(Home() / "planted", ConfigDir() / "patch");
         }},
    };
    Publish({{"patch", kNewPatch}}, "20240611");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        fs::remove_all(InstallDir());
        MakeTree(InstallDir(), OldInstall());
        fs::remove_all(ConfigDir());
        MakeTree(ConfigDir() / "dev", OldDev());
        MakeTree(ConfigDir() / "partner", OldPartner());
        fs::create_directories(ConfigDir() / "patch");
        fs::remove_all(Home());
        MakeTree(Home(), HomeTree());
        km::WriteRegString(std::string("lastconfigupdate.") + kProject + ".patch", "old",
                           qb::kProductRegistryKey);
        c.plant();
        const Tree home = ReadTree(Home());

        const qbtest::TRunResult run = Run();
        // The vendor's patch installs as it would have without the attack.
        EXPECT_EQ(run.code, 2) << run.text;
        EXPECT_EQ(ReadTree(InstallDir()), kPatchedInstall);
        EXPECT_EQ(ReadTree(Home()), home);
        EXPECT_EQ(ReadTree(ConfigDir() / "dev"), OldDev());
        EXPECT_FALSE(fs::exists(fs::symlink_status(ConfigDir() / "~qbcopyin.journal")));
        EXPECT_FALSE(fs::is_symlink(ConfigDir() / "patch"));
    }
}

TEST_F(SharedMachineTest, AFollowUpProgramOutsideThePackageIsNeverStarted) {
    const char* escapes[] = {"../../../../../../../../../../bin/sh", "/bin/sh", "sub/../../x.sh"};
    for (const char* toRun : escapes) {
        SCOPED_TRACE(toRun);
        Publish({{"install", {{"setup.sh", "#!/bin/sh\n"}, {"sub", "/"}}}}, "20240611", kProject,
                {{"install", {"", toRun, "-c \"id > /tmp/owned\""}}});
        const qbtest::TRunResult run = Run();
        EXPECT_EQ(run.code, -9 * 100 - 1001);  // install refused, patch had nothing new
        EXPECT_EQ(run.text,
                  std::string("Das Installationspaket nennt ein Folgeprogramm außerhalb des "
                              "Pakets: ") +
                      toRun);
        EXPECT_EQ(DateOf("install"), "<none>");
        // Nothing of the refused package is kept.
        if (fs::exists(sandbox.PrivateTemp())) {
            EXPECT_TRUE(fs::is_empty(sandbox.PrivateTemp()));
        }
    }
    // A program inside the package, also through "..", passes.
    Publish({{"install", {{"setup.sh", "#!/bin/sh\n"}, {"sub", "/"}}}}, "20240612", kProject,
            {{"install", {"", "sub/../setup.sh", ""}}});
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 4) << run.text;
    EXPECT_EQ(kmtest::ReadTextFile(run.toRun), "#!/bin/sh\n");
}

// Anyone who can read the lock file can hold it; the run waits only so long.
TEST_F(SharedMachineTest, AHeldLockEndsTheRunAfterTheWaitWithItsOwnCode) {
    Publish({{"patch", kNewPatch}}, "20240611");
    const km::TUniqueFd holder(
        ::open((ConfigDir() / "~qbupdate.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(holder.Valid());
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
    lockWait = std::chrono::milliseconds(300);
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, qb::kAnotherUpdateHoldsTheProduct);
    // The holder (this test's own process, an updater) is named.
    EXPECT_EQ(run.text, "Eine andere Aktualisierung dieses Produkts läuft noch (pid " +
                            std::to_string(::getpid()) + " (" + ProcessName() +
                            ")). Bitte versuchen Sie es später erneut.");
    ExpectProductUnchanged();
}

TEST_F(SharedMachineTest, PackageModesNeverLetOthersWrite) {
    fs::create_directories(ProjectDir());
    kmtest::WriteZip(ProjectDir() / "patch.zip",
                     {kmtest::ZipEntrySpec("patch/app.bin", "v2").WithUnixMode(0100666),
                      kmtest::ZipEntrySpec("patch/bin/tool", "#!/bin/sh\n").WithUnixMode(0100777),
                      kmtest::ZipEntrySpec("patch/readonly.cfg", "r").WithUnixMode(0100444)});
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    const qbtest::TRunResult run = Run();
    ASSERT_EQ(run.code, 2) << run.text;
    EXPECT_EQ(ModeOf(InstallDir() / "app.bin"), 0644u);
    EXPECT_EQ(ModeOf(InstallDir() / "bin/tool"), 0755u);
    EXPECT_EQ(ModeOf(InstallDir() / "readonly.cfg"), 0444u);
}

// Working folders of killed runs go at the start of the next run; a folder
// another run of this user still holds stays, and so does a young install
// folder whose program may still run.
TEST_F(SharedMachineTest, TheNextRunCleansUpWhatKilledRunsLeft) {
    const fs::path privateTemp = sandbox.PrivateTemp();
    const km::TWorkDir live("~qb");
    MakeTree(privateTemp / "~qb12345", {{"dev.zip.part", "half"}});
    MakeTree(privateTemp / "~qo11111", {{"setup.sh", "running"}});
    MakeTree(privateTemp / "~qo22222", {{"setup.sh", "long ended"}});
    const time_t twoDaysAgo = std::time(nullptr) - 2 * 24 * 3600;
    const timespec times[2] = {{twoDaysAgo, 0}, {twoDaysAgo, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (privateTemp / "~qo22222").c_str(), times, 0), 0);
    Publish({{"patch", kNewPatch}}, "20240611");

    EXPECT_EQ(Run().code, 2);
    EXPECT_TRUE(fs::exists(live.Path()));
    EXPECT_FALSE(fs::exists(privateTemp / "~qb12345"));
    EXPECT_TRUE(fs::exists(privateTemp / "~qo11111/setup.sh"));
    EXPECT_FALSE(fs::exists(privateTemp / "~qo22222"));
}

// The shared temporary folder is not used at all: what others put there,
// even under the private folder's name, never reaches the product.
TEST_F(SharedMachineTest, APrivateTempFolderTakenByOthersStopsTheRunBeforeAnything) {
    for (int i = 0; i < 20; ++i) {
        MakeTree(sandbox.TempBase() / ("~qo0000" + std::to_string(i % 9)),
                 {{"install.zip", "planted"}});
    }
    fs::create_directory_symlink(Home(), sandbox.PrivateTemp());
    Publish({{"patch", kNewPatch}}, "20240611");
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -1);
    EXPECT_NE(run.text.find("is not a folder of this user that only this user may enter"),
              std::string::npos)
        << run.text;
    EXPECT_EQ(ReadTree(Home()), HomeTree());
    ExpectProductUnchanged();
}

}  // namespace
