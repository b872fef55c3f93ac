// Whole runs of an engine that trusts two vendor keys: what either key signed
// installs; whatever else reaches it (unsigned, another key, an edited
// descriptor, a replayed older one, a swapped or planted package) installs
// nothing and leaves the product and its recorded dates as they were.

#include <gtest/gtest.h>

#include <filesystem>

#include "UpdateRunFixture.h"
#include "common/crypto/Crypto.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/DescriptorSignature.h"
#include "quorbel/Problem.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::ReadTree;
using kmtest::Tree;

class SignedUpdateTest : public qbtest::UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        publicKeys = {km::EncodeBase64(first.PublicKey()), km::EncodeBase64(second.PublicKey())};
    }
    void PublishPatch(const std::string& version, const std::string& date) {
        Publish({{"patch", {{"app.bin", version}}}}, date);
    }
    void ExpectNothingChanged(const qbtest::TRunResult& run, const std::string& text) {
        EXPECT_EQ(run.code, -505) << run.text;
        EXPECT_EQ(run.text, text);
        EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
        EXPECT_EQ(DateOf("patch"), "<none>");
    }

    const km::TEd25519Key first = km::TEd25519Key::Generate();
    const km::TEd25519Key second = km::TEd25519Key::Generate();
};

TEST_F(SignedUpdateTest, WhatEitherKeySignedInstalls) {
    signKeyPem = second.Pem();
    published = "2026-12-10T10:00:00Z";
    Publish({{"dev", {{"d.txt", "new dev"}}}, {"patch", {{"app.bin", "v2"}}}}, "20261210");
    qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 3) << run.text;
    EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v2"}, {"keep.txt", "keep"}}));
    EXPECT_EQ(DateOf("patch"), "20261210");

    // The other key, a later descriptor.
    signKeyPem = first.Pem();
    published = "2026-12-11T10:00:00Z";
    PublishPatch("v3", "20261211");
    run = Run();
    EXPECT_EQ(run.code, 2) << run.text;
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v3");
}

TEST_F(SignedUpdateTest, ARefusedDescriptorInstallsNothing) {
    const km::TEd25519Key stranger = km::TEd25519Key::Generate();
    const struct {
        const char* name;
        std::string key;
        std::function<void()> spoil;
        const char* text;
    } cases[] = {
        {"unsigned", "", {}, "Die Aktualisierungsbeschreibung ist nicht signiert."},
        {"an unknown key",
         stranger.Pem(),
         {},
         "Die Signatur der Aktualisierungsbeschreibung ist ungültig."},
        {"an edited descriptor", first.Pem(),
         [this] {
             std::string xml = kmtest::ReadTextFile(ProjectDir() / "configinfo.xml");
             xml.replace(xml.find("20261210"), 8, "20261299");
             kmtest::WriteTextFile(ProjectDir() / "configinfo.xml", xml);
         },
         "Die Signatur der Aktualisierungsbeschreibung ist ungültig."},
        {"a garbled signature", first.Pem(),
         [this] { kmtest::WriteTextFile(ProjectDir() / "configinfo.xml.sig", "AAAA$\n"); },
         "Die Aktualisierungsbeschreibung ist nicht signiert."},
    };
    published = "2026-12-10T10:00:00Z";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(ProjectDir());
        signKeyPem = c.key;
        PublishPatch("v2", "20261210");
        if (c.spoil) {
            c.spoil();
        }
        ExpectNothingChanged(Run(), c.text);
    }
}

// An attacker replays an old descriptor, genuinely signed, to bring back an
// old package: refused; one as new as the last is accepted.
TEST_F(SignedUpdateTest, AnOlderDescriptorIsRefusedAndAnEqualOneAccepted) {
    signKeyPem = first.Pem();
    published = "2026-12-10T10:00:00Z";
    PublishPatch("v2", "20261210");
    ASSERT_EQ(Run().code, 2);
    published = "2026-12-09T10:00:00Z";
    PublishPatch("v1-old", "20261209");
    qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -505);
    EXPECT_EQ(run.text, "Die Aktualisierungsbeschreibung ist älter als die zuletzt angenommene.");
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v2");
    EXPECT_EQ(DateOf("patch"), "20261210");
    published = "2026-12-10T10:00:00Z";
    PublishPatch("v2b", "20261210b");
    EXPECT_EQ(Run().code, 2);
}

// A signing machine whose clock ran years ahead: its descriptor is not valid
// yet, so it is neither installed nor recorded, and the correct release after
// it installs. Had it been taken (by a build before this check), a release
// that supersedes its time brings the products back, once.
TEST_F(SignedUpdateTest, ATimeFromTheFutureIsRefusedAndAWrongOneSuperseded) {
    signKeyPem = first.Pem();
    publisherClock = std::chrono::system_clock::now() + std::chrono::hours(24 * 365 * 4);
    published = qb::PublishedTimeOf(publisherClock);
    PublishPatch("v2", "D2");
    qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -505);
    EXPECT_EQ(run.text,
              "Die Aktualisierungsbeschreibung ist erst ab einem späteren Zeitpunkt gültig.");
    EXPECT_EQ(RegValue(std::string("lastdescriptor.") + kProject), "<none>");
    EXPECT_EQ(DateOf("patch"), "<none>");

    publisherClock = {};
    published.clear();
    PublishPatch("v3", "D3");
    EXPECT_EQ(Run().code, 2);

    // A wrong time taken by an older build: superseded exactly once.
    const std::string wrong = "2030-01-01T00:00:00Z";
    km::WriteRegString(std::string("lastdescriptor.") + kProject, wrong);
    PublishPatch("v4", "D4");
    EXPECT_EQ(Run().code, -505);  // older than what was taken
    supersedes = wrong;
    PublishPatch("v5", "D5");
    EXPECT_EQ(Run().code, 2);
    EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v5");
    EXPECT_NE(RegValue(std::string("lastdescriptor.") + kProject), wrong);
}

TEST_F(SignedUpdateTest, ASwappedPackageIsRefusedBeforeItIsUnpacked) {
    signKeyPem = first.Pem();
    published = "2026-12-10T10:00:00Z";
    PublishPatch("v2", "20261210");
    kmtest::WriteZip(ProjectDir() / "patch.zip", {{"patch/app.bin", "evil"}});
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, -100102);  // install: nothing; patch: refused
    EXPECT_NE(run.text.find("stimmt nicht mit seiner Prüfsumme überein"), std::string::npos)
        << run.text;
    EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
    EXPECT_EQ(DateOf("patch"), "<none>");
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
}

// A package put into a type's folder by hand was never verified: deleted.
TEST_F(SignedUpdateTest, APlantedLocalArchiveIsDeletedNotInstalled) {
    kmtest::WriteZip(ConfigDir() / "patch" / "patch.zip", {{"patch/app.bin", "planted"}});
    signKeyPem = first.Pem();
    published = "2026-12-10T10:00:00Z";
    Publish({{"dev", {{"d.txt", "new dev"}}}}, "20261210");
    const qbtest::TRunResult run = Run();
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
    EXPECT_EQ(RegValue(std::string("archivedigest.") + kProject + ".patch"), "<none>");
}

// Offline media take the server's checks with them: an untouched copy
// installs without the server, an edited descriptor or a swapped package on
// it installs nothing.
TEST_F(SignedUpdateTest, MediaInstallAsTheServerDoesAndAnEditedCopyNothing) {
    signKeyPem = first.Pem();
    published = "2026-12-10T10:00:00Z";
    Publish({{"dev", {{"d.txt", "new dev"}}}, {"patch", {{"app.bin", "v2"}}}}, "20261210");
    const fs::path exported = sandbox.Root() / "stick";
    const qb::TExportReport exportReport = ExportCore(exported);
    ASSERT_TRUE(exportReport.Problem.Empty()) << qb::ProblemTextGerman(exportReport.Problem);
    ASSERT_TRUE(exportReport.Signature);
    ASSERT_EQ(exportReport.Packages.size(), 2u);

    const struct {
        const char* name;
        std::function<void(const fs::path&)> spoil;
        int32_t patchCode;
    } cases[] = {
        {"untouched", [](const fs::path&) {}, 0},
        {"an edited descriptor",
         [](const fs::path& media) {
             std::string xml = kmtest::ReadTextFile(media / "configinfo.xml");
             xml.replace(xml.find("20261210"), 8, "20261299");
             kmtest::WriteTextFile(media / "configinfo.xml", xml);
         },
         -5},
        {"a swapped package",
         [](const fs::path& media) {
             kmtest::WriteZip(media / "patch-patch.zip", {{"patch/app.bin", "evil"}});
         },
         -2},
    };
    const size_t requestsBefore = server.Requests().size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path media = sandbox.Root() / "copy";
        fs::remove_all(media);
        fs::copy(exported, media);
        c.spoil(media);
        ResetProduct();
        mediaDir = media.string();
        const qb::TRunReport report = RunCore(km::RealFileSystem());
        const qb::TTypeReport& patch = report.Types.at(2);
        ASSERT_EQ(patch.Type, "patch");
        EXPECT_EQ(patch.Code, c.patchCode) << qb::ProblemTextGerman(patch.Problem);
        if (c.patchCode == 0) {
            EXPECT_EQ(patch.Source, qb::TPackageSource::Media);
            EXPECT_EQ(ReadTree(InstallDir()), (Tree{{"app.bin", "v2"}, {"keep.txt", "keep"}}));
        } else {
            EXPECT_EQ(ReadTree(InstallDir()), OldInstall());
            EXPECT_EQ(patch.Date, "");
        }
    }
    EXPECT_EQ(server.Requests().size(), requestsBefore);  // the server was never asked
}

}  // namespace
