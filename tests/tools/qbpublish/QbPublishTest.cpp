// The real qbpublish program as a vendor meets it: keys, publishing,
// checking a published folder, settings kept between releases.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/crypto/Crypto.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;

struct TExit {
    int code = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (const char c : arg) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

TExit RunQbPublish(const std::vector<std::string>& args, const fs::path& scratch) {
    std::string command = QBPUBLISH_PATH;
    for (const std::string& arg : args) {
        command += " " + Quote(arg);
    }
    command += " >" + (scratch / "stdout").string() + " 2>" + (scratch / "stderr").string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, kmtest::ReadTextFile(scratch / "stdout"),
            kmtest::ReadTextFile(scratch / "stderr")};
}

class QbPublishTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeTree(
            Source(),
            {{"dev/d.txt", "dev 1"}, {"patch/app.bin", "v1"}, {"install/setup.sh", "#!/bin/sh\n"}});
        key = RunQbPublish({"keygen", Key().string()}, dir.Path());
        ASSERT_EQ(key.code, 0) << key.err;
        publicLine = key.out.substr(0, key.out.find('\n'));
    }
    fs::path Source() const { return dir.Path() / "source"; }
    fs::path Out() const { return dir.Path() / "out"; }
    fs::path Key() const { return dir.Path() / "vendor.pem"; }
    TExit Run(std::vector<std::string> args) { return RunQbPublish(args, dir.Path()); }
    TExit Publish(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--date", "D1", "--sign-key", Key().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(Source().string());
        args.push_back(Out().string());
        return Run(args);
    }
    std::string Descriptor() const { return kmtest::ReadTextFile(Out() / "configinfo.xml"); }

    kmtest::TempDir dir;
    TExit key;
    std::string publicLine;
};

TEST_F(QbPublishTest, KeysAndTheirLines) {
    EXPECT_EQ(publicLine.size(), 44u) << key.out;
    const TExit again = Run({"pubkey", Key().string()});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(again.out, publicLine + "\n");
    EXPECT_NE(Run({"keygen", Key().string()}).code, 0);  // never over an existing key
    EXPECT_NE(Run({"pubkey", (dir.Path() / "missing.pem").string()}).code, 0);
}

// A published time ahead of the clock would make products refuse every
// correct release after it: refused, unless it is within minutes.
TEST_F(QbPublishTest, APublishedTimeAheadOfTheClockIsRefused) {
    const TExit ahead = Publish({"--published", "2030-01-01T00:00:00Z"});
    EXPECT_EQ(ahead.code, 1);
    EXPECT_NE(ahead.err.find("ahead of this machine's clock"), std::string::npos) << ahead.err;
    EXPECT_FALSE(fs::exists(Out() / "configinfo.xml"));
    const TExit now = Publish();
    EXPECT_EQ(now.code, 0) << now.err;
    // The way back for products that took a wrong time once.
    const TExit supersede = Publish({"--supersede", "2030-01-01T00:00:00Z"});
    EXPECT_EQ(supersede.code, 0) << supersede.err;
    EXPECT_NE(Descriptor().find("<supersedes>2030-01-01T00:00:00Z</supersedes>"),
              std::string::npos);
}

// verify finds what an upload or an edit broke.
TEST_F(QbPublishTest, VerifyCatchesWhatWasEdited) {
    ASSERT_EQ(Publish().code, 0);
    const TExit good = Run({"verify", Out().string(), "--key", publicLine});
    EXPECT_EQ(good.code, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("ok   dev package dev.zip"), std::string::npos) << good.out;
    // The SPKI form openssl prints is taken too.
    const std::string spki =
        km::EncodeBase64(std::string("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12) +
                         *km::DecodeBase64Strict(publicLine));
    EXPECT_EQ(Run({"verify", Out().string(), "--key", spki}).code, 0);

    const std::string descriptor = Descriptor();
    const std::string package = kmtest::ReadTextFile(Out() / "patch.zip");
    struct TCase {
        const char* name;
        std::function<void()> edit;
        const char* says;
        bool withKey;
    };
    const TCase cases[] = {
        {"an edited descriptor",
         [&] {
             std::string edited = descriptor;
             edited.replace(edited.find("<date>D1"), 8, "<date>D9");
             kmtest::WriteTextFile(Out() / "configinfo.xml", edited);
         },
         "configinfo.xml.sig: not made by a given key", true},
        {"an edited package",
         [&] {
             std::string edited = package;
             edited[edited.size() / 2] ^= 1;
             kmtest::WriteTextFile(Out() / "patch.zip", edited);
         },
         "FAIL patch package patch.zip: sha256", false},
        {"a size that does not match",
         [&] {
             std::string edited = descriptor;
             const size_t at = edited.find("<size>") + 6;
             edited.insert(at, "1");
             kmtest::WriteTextFile(Out() / "configinfo.xml", edited);
         },
         "bytes, the descriptor says", false},
        {"a missing package", [&] { fs::remove(Out() / "dev.zip"); }, "FAIL dev package dev.zip",
         false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        kmtest::WriteTextFile(Out() / "configinfo.xml", descriptor);
        kmtest::WriteTextFile(Out() / "patch.zip", package);
        ASSERT_EQ(Publish().code, 0);
        c.edit();
        const TExit check = c.withKey ? Run({"verify", Out().string(), "--key", publicLine})
                                      : Run({"verify", Out().string()});
        EXPECT_EQ(check.code, 1) << check.out;
        EXPECT_NE(check.out.find(c.says), std::string::npos) << check.out;
    }
}

// What stays from one release to the next, and what the vendor is told.
TEST_F(QbPublishTest, SettingsStayWarningsTellAndStalePackagesGo) {
    const std::string settings = (dir.Path() / "release.conf").string();
    TExit first = Publish({"--settings", settings, "--torun", "install=setup.sh", "--base-url",
                           "https://cdn.example/quorbel"});
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_NE(Descriptor().find("<url>https://cdn.example/quorbel/dev.zip</url>"),
              std::string::npos)
        << Descriptor();

    // The next release names neither: the settings file keeps both. Its dev
    // content changed, its date did not.
    MakeTree(Source(), {{"dev/d.txt", "dev 2"}});
    const TExit second = Publish({"--settings", settings});
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_NE(Descriptor().find("<torun>setup.sh</torun>"), std::string::npos) << Descriptor();
    EXPECT_NE(Descriptor().find("https://cdn.example/quorbel/install.zip"), std::string::npos);
    EXPECT_NE(second.err.find("warning: dev: the content changed, but its date D1 did not"),
              std::string::npos)
        << second.err;

    // Without the settings file the follow-up program would silently go: a
    // warning says so. A type dropped from the release loses its package.
    fs::remove_all(Source() / "patch");
    const TExit third = Run({"--date", "D2", Source().string(), Out().string()});
    ASSERT_EQ(third.code, 0) << third.err;
    EXPECT_NE(third.err.find("warning: install: the follow-up program setup.sh is no longer named"),
              std::string::npos)
        << third.err;
    EXPECT_FALSE(fs::exists(Out() / "patch.zip"));
    EXPECT_FALSE(fs::exists(Out() / "configinfo.xml.sig"));  // unsigned now: no stale signature
    for (const auto& entry : fs::directory_iterator(Out())) {
        EXPECT_FALSE(entry.path().filename().string().ends_with(".new")) << entry.path();
    }
}

}  // namespace

namespace {

// --delta-base: a delta per type (but install) from each earlier release,
// signed and verified with the rest; none where it would not pay, and bases
// that cannot be meant are refused.
TEST_F(QbPublishTest, DeltasFromEarlierReleases) {
    std::string manual;
    for (int i = 0; i < 3000; ++i) {
        manual += "line " + std::to_string(i) + " of the manual\n";
    }
    const auto noise = [](uint32_t x) {
        std::string bytes;
        for (int i = 0; i < 60000; ++i) {
            x = x * 1103515245 + 12345;
            bytes += static_cast<char>(x >> 16);
        }
        return bytes;
    };
    const fs::path release1 = dir.Path() / "release1";
    MakeTree(release1, {{"dev/manual.txt", manual},
                        {"patch/noise.bin", noise(7)},
                        {"install/setup.sh", "#!/bin/sh\n"}});
    fs::remove_all(Source());
    MakeTree(Source(), {{"dev/manual.txt", manual + "one more line\n"},
                        {"patch/noise.bin", noise(8)},
                        {"install/setup.sh", "#!/bin/sh\necho 2\n"}});
    // Every byte of the patch changed: its delta would be as large as the
    // package, so there is none.
    const TExit published = Publish({"--delta-base", "D0=" + release1.string()});
    ASSERT_EQ(published.code, 0) << published.err;
    const std::string descriptor = Descriptor();
    EXPECT_NE(descriptor.find("<base>D0</base>"), std::string::npos) << descriptor;
    EXPECT_NE(descriptor.find("<url>dev-delta-D0.zip</url>"), std::string::npos) << descriptor;
    EXPECT_TRUE(fs::exists(Out() / "dev-delta-D0.zip"));
    EXPECT_LT(fs::file_size(Out() / "dev-delta-D0.zip") * 4, fs::file_size(Out() / "dev.zip"));
    EXPECT_EQ(descriptor.find("install-delta"), std::string::npos);
    EXPECT_FALSE(fs::exists(Out() / "patch-delta-D0.zip"));
    EXPECT_EQ(descriptor.find("patch-delta-D0.zip"), std::string::npos);
    EXPECT_NE(published.err.find("patch: no delta from D0: the delta ("), std::string::npos)
        << published.err;
    const TExit check = Run({"verify", Out().string(), "--key", publicLine});
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_NE(check.out.find("dev-delta-D0.zip"), std::string::npos) << check.out;

    for (const std::string& wrong :
         {"D1=" + release1.string(), "a/b=" + release1.string(),
          "D0=" + (dir.Path() / "nowhere").string(), std::string("D0")}) {
        SCOPED_TRACE(wrong);
        const TExit refused = Publish({"--delta-base", wrong});
        EXPECT_EQ(refused.code, 1);
        EXPECT_NE(refused.err.find("delta"), std::string::npos) << refused.err;
    }
}

}  // namespace
