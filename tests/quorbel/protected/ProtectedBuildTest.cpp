// A build whose archive passwords are "patch=Passwört;dev=plain": packages
// the vendor protected with them install with the build's own settings, and
// the non-ASCII password works in the vendor's code page, as a package made on
// the vendor's Windows machine needs.

#include <gtest/gtest.h>

#include "UpdateRunFixture.h"
#include "quorbel/ArchivePassword.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::ReadTree;
using kmtest::Tree;

class ProtectedBuildTest : public qbtest::UpdateRunFixture {};

TEST_F(ProtectedBuildTest, ThePasswordsTheBuildNamesOpenTheVendorsPackages) {
    Publish({{"dev", {{"d.txt", "new dev"}}}, {"patch", {{"app.bin", "v2"}}}}, "20240611", kProject,
            {{"patch", {"Passwört", "", ""}}, {"dev", {"plain", "", ""}}});
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 3) << run.text;
    EXPECT_EQ(ReadTree(ConfigDir() / "dev"), (Tree{{"d.txt", "new dev"}}));
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v2"}, {"keep.txt", "keep"}}));
}

// What the vendor's Windows machine writes: the password's windows-1252 bytes.
TEST_F(ProtectedBuildTest, APackageProtectedInTheVendorsCodePageInstalls) {
    EXPECT_EQ(qb::ArchivePasswordBytes("Passwört"), "Passw\xF6rt");
    fs::create_directories(ProjectDir());
    kmtest::WriteZip(ProjectDir() / "patch.zip",
                     {kmtest::ZipEntrySpec("patch/app.bin", "v3").WithPassword("Passw\xF6rt")});
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 2) << run.text;
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v3"}, {"keep.txt", "keep"}}));
}

}  // namespace
