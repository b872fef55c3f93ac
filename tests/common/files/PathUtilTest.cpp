#include "common/files/PathUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "common/base/KmException.h"
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
        const kmtest::TempDir own;
        kmtest::ScopedEnv env("TMPDIR", own.Path().string() + "//");
        EXPECT_EQ(km::GetTempBaseDir(), own.Path().string());
    }
    {
        // Not there yet, below a folder everybody may write: anybody could
        // make it first, so it is not used.
        kmtest::ScopedEnv env("TMPDIR", "/tmp/kelmirath-not-made-yet");
        EXPECT_EQ(km::GetTempBaseDir(), "/tmp");
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
    const std::string privateTemp = sandbox.PrivateTemp().string();

    const std::string dir = km::CreateTempWorkDir("~qb");
    EXPECT_TRUE(std::regex_match(dir, std::regex(privateTemp + "/~qb[0-8]{5}/"))) << dir;
    for (const std::string& made : {dir, privateTemp}) {
        struct stat st {};
        ASSERT_EQ(::lstat(made.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
    }

    EXPECT_EQ(km::CreateTempWorkDir("~qoLonger", base, Digits("12345")), base + "/~qo12345/");
    EXPECT_EQ(km::CreateTempWorkDir("", base + "/", Digits("01234")), base + "/01234/");
    EXPECT_EQ(km::CreateTempWorkDir("äöüß", base, Digits("00000")), base + "/äöü00000/");
    EXPECT_TRUE(fs::is_directory(base + "/01234"));
}

// Whatever stands at a drawn name, whoever made it, is never used: only a
// folder that mkdir made in this call is.
TEST(PathUtil, CreateTempWorkDirUsesOnlyAFolderItJustMade) {
    kmtest::Sandbox sandbox;
    const std::string base = sandbox.TempBase().string();
    const fs::path elsewhere = sandbox.Root() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory(base + "/~qb11111");
    kmtest::WriteTextFile(base + "/~qb11111/install.zip", "planted");
    fs::create_directory_symlink(elsewhere, base + "/~qb22222");
    kmtest::WriteTextFile(base + "/~qb33333", "a file");
    EXPECT_EQ(km::CreateTempWorkDir("~qb", base, Digits("11111222223333344444")),
              base + "/~qb44444/");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_empty(base + "/~qb44444"));
}

TEST(PathUtil, CreateTempWorkDirFailsClearlyInsteadOfReturningANameItDidNotMake) {
    kmtest::Sandbox sandbox;
    const std::string base = sandbox.TempBase().string();
    fs::create_directory(base + "/~qb66666");
    try {
        km::CreateTempWorkDir("~qb", base, Digits("6"));
        ADD_FAILURE() << "a taken name was returned";
    } catch (const km::Exception& e) {
        EXPECT_THAT(e.what(), testing::HasSubstr("No free working folder name below " + base));
    }
    const std::string missing = (sandbox.Root() / "missing").string();
    try {
        km::CreateTempWorkDir("~qb", missing, Digits("01234"));
        ADD_FAILURE() << "a name below a missing folder was returned";
    } catch (const km::Exception& e) {
        EXPECT_THAT(e.what(), testing::HasSubstr("Cannot create a working folder " + missing));
    }
    EXPECT_FALSE(fs::exists(missing));
}

// Another account may take the private folder's name first in the shared
// temporary folder; the updater then refuses to work instead of using it.
TEST(PathUtil, APrivateTempFolderOthersCouldReachIsRefused) {
    kmtest::Sandbox sandbox;
    const fs::path privateTemp = sandbox.PrivateTemp();
    const fs::path elsewhere = sandbox.Root() / "elsewhere";
    fs::create_directory(elsewhere);
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"a link", [&] { fs::create_directory_symlink(elsewhere, privateTemp); }},
        {"a file", [&] { kmtest::WriteTextFile(privateTemp, "x"); }},
        {"a folder others may enter",
         [&] {
             fs::create_directory(privateTemp);
             fs::permissions(privateTemp, fs::perms::all);
         }},
        {"a folder of another user",
         [&] {
             fs::create_directory(privateTemp, elsewhere);
             fs::permissions(privateTemp, fs::perms::owner_all);
             ASSERT_EQ(::chown(privateTemp.c_str(), 65534, 65534), 0);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        fs::remove_all(privateTemp);
        c.plant();
        EXPECT_THROW(km::CreateTempWorkDir("~qb"), km::Exception);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        fs::remove(privateTemp);
        fs::remove_all(privateTemp);
    }
    // Once the name is free again, the updater makes its own folder.
    EXPECT_EQ(km::GetPrivateTempDir(), privateTemp.string() + "/");
}

}  // namespace
