#include "common/files/PathUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "common/base/KmDebug.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

struct PathCase {
    std::string input;
    std::string added;
    std::string removed;
};

TEST(PathUtil, DelimiterHelpers) {
    const PathCase cases[] = {
        {"", "", ""},
        {"/", "/", "/"},  // the root plays the part of a bare drive
        {"a", "a/", "a"},
        {"a/", "a/", "a"},
        {"a//", "a//", "a/"},  // only one delimiter goes
        {"/tmp/x", "/tmp/x/", "/tmp/x"},
        {"a\\", "a\\/", "a\\"},  // a backslash is an ordinary character
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(km::AddPathDelimiter(c.input), c.added) << c.input;
        EXPECT_EQ(km::RemovePathDelimiter(c.input), c.removed) << c.input;
    }
}

TEST(PathUtil, ExtractUrlFileName) {
    EXPECT_EQ(km::ExtractUrlFileName("http://h/qbdata/p/dev.zip"), "dev.zip");
    EXPECT_EQ(km::ExtractUrlFileName("https://h/a/dl?file=x.zip#top"), "dl?file=x.zip#top");
    EXPECT_EQ(km::ExtractUrlFileName("http://h/a/"), "");
    EXPECT_EQ(km::ExtractUrlFileName("plain.zip"), "plain.zip");
}

TEST(PathUtil, TempBaseDirFollowsTmpdir) {
    {
        kmtest::ScopedEnv env("TMPDIR", "/var/tmp/x//");
        EXPECT_EQ(km::GetTempBaseDir(), "/var/tmp/x");
    }
    {
        kmtest::ScopedEnv env("TMPDIR", "");
        EXPECT_EQ(km::GetTempBaseDir(), "/tmp");
    }
    kmtest::ScopedEnv env("TMPDIR", std::nullopt);
    EXPECT_EQ(km::GetTempBaseDir(), "/tmp");
}

// Yields the digits of the given names in turn (each five digits long).
std::function<int()> Digits(std::string sequence) {
    auto pos = std::make_shared<std::size_t>(0);
    return [sequence, pos] { return sequence.at((*pos)++ % sequence.size()) - '0'; };
}

TEST(PathUtil, CreateTempWorkDirNamesAndMode) {
    kmtest::Sandbox sandbox;
    const std::string base = sandbox.TempBase().string();

    const std::string dir = km::CreateTempWorkDir("~qb");
    EXPECT_TRUE(std::regex_match(dir, std::regex(base + "/~qb[0-8]{5}/"))) << dir;
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_EQ(km::CreateTempWorkDir("~qoLonger", base, Digits("12345")), base + "/~qo12345/");
    EXPECT_EQ(km::CreateTempWorkDir("", base + "/", Digits("01234")), base + "/01234/");
    EXPECT_EQ(km::CreateTempWorkDir("äöüß", base, Digits("00000")), base + "/äöü00000/");
    EXPECT_TRUE(fs::is_directory(base + "/01234"));
}

TEST(PathUtil, CreateTempWorkDirReusesOnlyOwnRealDirectories) {
    kmtest::Sandbox sandbox;
    const std::string base = sandbox.TempBase().string();
    const fs::path elsewhere = sandbox.Root() / "elsewhere";
    fs::create_directory(elsewhere);

    // An own directory of the drawn name is used unchanged.
    fs::create_directory(base + "/~qb11111");
    kmtest::WriteTextFile(base + "/~qb11111/kept", "x");
    EXPECT_EQ(km::CreateTempWorkDir("~qb", base, Digits("11111")), base + "/~qb11111/");
    EXPECT_TRUE(fs::exists(base + "/~qb11111/kept"));

    // A planted link of the drawn name is skipped; the next name is used.
    fs::create_directory_symlink(elsewhere, base + "/~qb22222");
    EXPECT_EQ(km::CreateTempWorkDir("~qb", base, Digits("2222233333")), base + "/~qb33333/");
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // So is a directory of another user.
    if (::geteuid() == 0) {
        fs::create_directory(base + "/~qb44444");
        ASSERT_EQ(::chown((base + "/~qb44444").c_str(), 65534, 65534), 0);
        EXPECT_EQ(km::CreateTempWorkDir("~qb", base, Digits("4444455555")), base + "/~qb55555/");
    }
}

TEST(PathUtil, CreateTempWorkDirGivesUpWithALogEntry) {
    kmtest::Sandbox sandbox;
    const std::string base = sandbox.TempBase().string();
    fs::create_directory_symlink(sandbox.Root(), base + "/~qb66666");
    std::vector<std::string> lines;
    km::SetDebugOutput([&lines](const std::string& line) { lines.push_back(line); });
    const std::string dir = km::CreateTempWorkDir("~qb", base, Digits("6"));
    km::SetDebugOutput({});
    EXPECT_EQ(dir, base + "/~qb66666/");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], testing::HasSubstr("#ERROR"));
    EXPECT_THAT(lines[0], testing::HasSubstr("CreateTempWorkDir"));
}

TEST(PathUtil, CreateTempWorkDirBelowMissingBaseStillNamesIt) {
    kmtest::Sandbox sandbox;
    const std::string base = (sandbox.Root() / "missing").string();
    EXPECT_EQ(km::CreateTempWorkDir("~qb", base, Digits("01234")), base + "/~qb01234/");
    EXPECT_FALSE(fs::exists(base));
}

}  // namespace
