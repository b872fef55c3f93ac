// Drill: whole update runs that download hostile or damaged packages. Each
// must end with -2 and the extractor's message (or the documented outcome),
// write nothing outside the working folder and leave the product's folders
// as they were.

#include <sys/stat.h>

#include <algorithm>

#include "UpdateRunFixture.h"
#include "common/registry/KmRegistry.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using kmtest::ZipEntrySpec;
using qbtest::Tree;

class HostilePackageTest : public qbtest::UpdateRunFixture {
  protected:
    fs::path Outside() const { return sandbox.Root() / "outside"; }
    fs::path Package(const std::string& name) const {
        fs::create_directories(sandbox.Root() / "server" / "pkg");
        return sandbox.Root() / "server" / "pkg" / name;
    }

    // Publishes the package file for one type and runs; dev and partner
    // without installer mode, patch with it.
    qbtest::TRunResult RunWith(const std::string& type, const std::string& file) {
        if (type == "patch") {
            WriteDescriptor(Descriptor({{type, server.Url("/pkg/" + file)}}));
            return Run(true);
        }
        km::WriteRegString("lastconfigupdate." + type, "");
        WriteDescriptor(Descriptor({{type, server.Url("/pkg/" + file)}}), "tolvanconfig");
        return Run(false);
    }

    // No file or folder whose name holds "evil" anywhere in the sandbox but
    // on the server.
    void ExpectNothingEvilWritten() {
        for (const std::string& path : qbtest::ListAll(sandbox.Root())) {
            if (path.rfind("server/", 0) != 0) {
                EXPECT_EQ(path.find("evil"), std::string::npos) << path;
            }
        }
    }
};

// Names that leave the working folder, links that point outside, wrong or
// missing passwords, damaged data and pages that are not archives.
TEST_F(HostilePackageTest, RefusedPackagesGiveMinus2AndChangeNothing) {
    fs::create_directories(Outside());
    const std::string outside = Outside().string();
    struct TCase {
        const char* name;
        std::vector<ZipEntrySpec> entries;
        std::string message;
        std::string password = {};
        std::function<void(const fs::path&)> damage = {};
    };
    const std::string middle(4000, 'M');
    std::string noisy;
    for (int i = 0; i < 20000; ++i) {
        noisy += std::to_string(i * 7919 % 10007) + (i % 13 == 0 ? "\n" : " ");
    }
    const std::vector<TCase> cases = {
        {"dot-dot",
         {{"dev/"}, {"dev/ok.txt", "ok"}, {"dev/../../evil.txt", "x"}},
         "Cannot extract file - unsafe path: dev/../../evil.txt"},
        {"absolute",
         {{"dev/ok.txt", "ok"}, {outside + "/evil-abs.txt", "x"}},
         "Cannot extract file - unsafe path: " + outside + "/evil-abs.txt"},
        {"backslash climbing",
         {{"dev/ok.txt", "ok"}, {"dev\\..\\..\\..\\evil-bs.txt", "x"}},
         "Cannot extract file - unsafe path: dev\\..\\..\\..\\evil-bs.txt"},
        {"drive prefix",
         {{"dev/ok.txt", "ok"}, {"C:\\evil-drive.txt", "x"}},
         "Cannot extract file - unsafe path: C:\\evil-drive.txt"},
        {"through a link entry",
         {{"dev/ok.txt", "ok"},
          ZipEntrySpec("dev/link", outside).WithUnixMode(0120777),
          {"dev/link/evil-link.txt", "x"}},
         "Not a directory"},
        {"no password",
         {ZipEntrySpec("dev/a.txt", "secret").WithPassword("right")},
         "Cannot extract file - invalid password"},
        {"wrong password",
         {ZipEntrySpec("dev/a.txt", "secret").WithPassword("right")},
         "Cannot extract file - invalid password",
         "wrong"},
        {"corrupt entry in the middle",
         {{"dev/first.txt", "first"},
          ZipEntrySpec("dev/middle.txt", middle).AsStored(),
          {"dev/last.txt", "last"}},
         "Failed CRC Check",
         "",
         [&](const fs::path& zip) { kmtest::ReplaceBytes(zip, middle.substr(0, 8), "XXXXXXXX"); }},
        {"deflate data damaged",
         {{"dev/first.txt", "first"}, {"dev/middle.txt", noisy}, {"dev/z.txt", "z"}},
         "",
         "",
         [&](const fs::path& zip) {
             // Damage the middle of the middle entry's deflated data.
             std::string bytes = kmtest::ReadTextFile(zip);
             const size_t start = bytes.find("dev/middle.txt");
             const size_t end = bytes.find("PK\x03\x04", start);
             ASSERT_NE(end, std::string::npos);
             const size_t at = (start + end) / 2;
             bytes.replace(at, 16, std::string(16, '\x5a'));
             kmtest::WriteTextFile(zip, bytes);
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = "p-" + std::string(c.name) + ".zip";
        std::replace(file.begin(), file.end(), ' ', '-');
        kmtest::WriteZip(Package(file), c.entries);
        // A wrong password passes the check byte once in 256 tries.
        for (int i = 0;
             i < 20 && !c.password.empty() && !kmtest::CheckByteRejects(Package(file), c.password);
             ++i) {
            kmtest::WriteZip(Package(file), c.entries);
        }
        if (c.damage) {
            c.damage(Package(file));
        }
        passwords = [&](const std::string&) { return c.password; };
        const qbtest::TRunResult run = RunWith("dev", file);
        std::printf("[ drill    ] %-28s code %d: %s\n", c.name, run.code, run.text.c_str());
        EXPECT_EQ(run.code, -100102);  // partner has no entry (-1001), dev -2
        if (c.message.empty()) {
            EXPECT_FALSE(run.text.empty());
        } else {
            EXPECT_NE(run.text.find(c.message), std::string::npos) << run.text;
        }
        EXPECT_EQ(RegValue("lastconfigupdate.dev"), "");
        ExpectProductUnchanged();
        ExpectNothingEvilWritten();
        EXPECT_TRUE(fs::is_empty(Outside()));
        // The package waits in the dev folder for the next run: remove it so
        // that every case starts from the same place.
        fs::remove(ConfigDir() / "dev" / "dev.zip");
    }
}

// An error page stored under the package's name, for a replaced and for a
// copied-in type.
TEST_F(HostilePackageTest, ErrorPageInsteadOfAnArchive) {
    kmtest::WriteTextFile(Package("page.zip"),
                          "<!DOCTYPE html><html><body><h1>Service unavailable</h1></body></html>");
    qbtest::TRunResult run = RunWith("partner", "page.zip");
    EXPECT_EQ(run.code, -1201);  // partner -2 (x 100), dev has no entry (-1001)
    EXPECT_EQ(run.text, "Unhandled Archive Type");
    ExpectProductUnchanged();

    run = RunWith("patch", "page.zip");
    EXPECT_EQ(run.code, -100102);  // install has no entry (-1001), patch -2
    EXPECT_EQ(run.text, "Unhandled Archive Type");
    ExpectProductUnchanged();
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
}

// A patch package that climbs out after some good entries: the installation
// folder is not touched at all.
TEST_F(HostilePackageTest, CopiedInPackageWithAnUnsafeEntryChangesNothing) {
    kmtest::WriteZip(
        Package("patch.zip"),
        {{"patch/app.bin", "v2"}, {"patch/new.txt", "n"}, {"patch/../../../evil.txt", "x"}});
    const qbtest::TRunResult run = RunWith("patch", "patch.zip");
    EXPECT_EQ(run.code, -100102);
    EXPECT_EQ(run.text, "Cannot extract file - unsafe path: patch/../../../evil.txt");
    ExpectProductUnchanged();
    ExpectNothingEvilWritten();
}

// Documented outcomes that are not failures: a link entry becomes a plain
// file holding the link text; of two entries with one name the later wins.
TEST_F(HostilePackageTest, LinkEntriesAndDuplicatesAreHarmless) {
    fs::create_directories(Outside());
    kmtest::WriteZip(
        Package("link.zip"),
        {{"dev/ok.txt", "ok"}, ZipEntrySpec("dev/link", Outside().string()).WithUnixMode(0120777)});
    qbtest::TRunResult run = RunWith("dev", "link.zip");
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"),
              (Tree{{"ok.txt", "ok"}, {"link", Outside().string()}}));

    kmtest::WriteZip(Package("dup.zip"), {{"dev/a.txt", "first"}, {"dev/b.txt", "later"}});
    ASSERT_EQ(kmtest::ReplaceBytes(Package("dup.zip"), "dev/b.txt", "dev/a.txt"), 2u);
    run = RunWith("dev", "dup.zip");
    EXPECT_EQ(run.code, 1) << run.text;
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), (Tree{{"a.txt", "later"}}));
}

}  // namespace
