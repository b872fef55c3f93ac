// Replacing a folder as a whole and copying into a folder, each so that a
// failure or a killed process never leaves a half-installed product.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "common/files/FileOps.h"
#include "common/files/UniqueFd.h"
#include "quorbel/CopyInTransaction.h"
#include "quorbel/FolderSwap.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;

// Recovery as the tests above need it: every target may be written.
bool AnyTarget(const std::string& /*target*/) {
    return true;
}

class InstallTransactionTest : public ::testing::Test {
  protected:
    kmtest::TempDir dir;
    fs::path Path(const std::string& relative) const { return dir.Path() / relative; }
};

TEST_F(InstallTransactionTest, ReplaceFolderSwapsAndCleansUp) {
    MakeTree(Path("config/dev"), {{"old.txt", "old"}, {"dev.zip", "zip"}});
    MakeTree(Path("config/~qb01234/dev"), {{"new.txt", "new"}, {"sub", "/"}});
    ASSERT_TRUE(
        qb::ReplaceFolder(Path("config/~qb01234/dev").string(), Path("config/dev/").string()));
    EXPECT_EQ(ReadTree(Path("config/dev")), (Tree{{"new.txt", "new"}, {"sub", "/"}}));
    EXPECT_FALSE(fs::exists(Path("config/dev.~qbold")));

    // No package folder: the old folder stays untouched.
    EXPECT_FALSE(
        qb::ReplaceFolder(Path("config/~qb01234/missing").string(), Path("config/dev/").string()));
    EXPECT_EQ(ReadTree(Path("config/dev")), (Tree{{"new.txt", "new"}, {"sub", "/"}}));

    // A first installation has no old folder.
    MakeTree(Path("config/~qb01234/partner"), {{"p.txt", "p"}});
    ASSERT_TRUE(qb::ReplaceFolder(Path("config/~qb01234/partner").string(),
                                  Path("config/partner").string()));
    EXPECT_EQ(ReadTree(Path("config/partner")), (Tree{{"p.txt", "p"}}));
}

TEST_F(InstallTransactionTest, RecoverFolderSwapFromEveryKilledState) {
    // Killed between the two renames: the old folder comes back.
    MakeTree(Path("a.~qbold"), {{"old.txt", "old"}});
    qb::RecoverFolderSwap(Path("a/").string());
    EXPECT_EQ(ReadTree(Path("a")), (Tree{{"old.txt", "old"}}));
    EXPECT_FALSE(fs::exists(Path("a.~qbold")));

    // Killed while deleting the old folder: the new one stays, the rest goes.
    MakeTree(Path("b"), {{"new.txt", "new"}});
    MakeTree(Path("b.~qbold"), {{"half", "/"}});
    qb::RecoverFolderSwap(Path("b").string());
    EXPECT_EQ(ReadTree(Path("b")), (Tree{{"new.txt", "new"}}));
    EXPECT_FALSE(fs::exists(Path("b.~qbold")));
}

TEST_F(InstallTransactionTest, CopyInMergesMovesAndKeepsWhatTheTargetHolds) {
    MakeTree(Path("target"), {{"keep.txt", "keep"}, {"bin", "/"}, {"bin/app", "v1"}});
    MakeTree(Path("work/patch"),
             {{"bin/app", "v2"}, {"bin/.hidden", "h"}, {"lib/new.so", "so"}, {"empty", "/"}});
    fs::create_directories(Path("config"));
    ASSERT_TRUE(qb::CopyInWithRollback(Path("work/patch").string(), Path("target/").string(),
                                       Path("config").string()));
    EXPECT_EQ(ReadTree(Path("target")), (Tree{{"keep.txt", "keep"},
                                              {"bin", "/"},
                                              {"bin/app", "v2"},
                                              {"bin/.hidden", "h"},
                                              {"lib", "/"},
                                              {"lib/new.so", "so"},
                                              {"empty", "/"}}));
    EXPECT_FALSE(fs::exists(Path("config/~qbcopyin.journal")));
    EXPECT_FALSE(fs::exists(Path("config/~qbcopyin.journal.done")));
}

TEST_F(InstallTransactionTest, CopyInFailureRestoresTheTarget) {
    const Tree before{{"a.txt", "a1"}, {"dir", "/"}, {"dir/b.txt", "b1"}, {"clash", "file"}};
    MakeTree(Path("target"), before);
    // "clash" is a folder in the package but a file in the target: the copy
    // fails after it has replaced and added files.
    MakeTree(Path("work/patch"), {{"a.txt", "a2"},
                                  {"dir/b.txt", "b2"},
                                  {"dir/c.txt", "c"},
                                  {"zz", "/"},
                                  {"zz/d.txt", "d"},
                                  {"clash", "/"},
                                  {"clash/x", "x"}});
    fs::create_directories(Path("config"));
    EXPECT_FALSE(qb::CopyInWithRollback(Path("work/patch").string(), Path("target").string(),
                                        Path("config").string()));
    EXPECT_EQ(ReadTree(Path("target")), before);
    EXPECT_FALSE(fs::exists(Path("config/~qbcopyin.journal")));
}

TEST_F(InstallTransactionTest, RecoverCopyInRollsBackAKilledCopyAndFinishesADoneOne) {
    // The state a copy killed after replacing a.txt and adding new.txt leaves,
    // while it copied sub/s.txt in from another file system.
    MakeTree(Path("target"), {{"a.txt", "a2"},
                              {"new.txt", "n"},
                              {"sub", "/"},
                              {std::string("sub/s.txt") + km::kCopyPartSuffix, "s"}});
    MakeTree(Path("target/.~qbbackup"), {{"a.txt", "a1"}});
    const std::string target = Path("target").string();
    kmtest::WriteTextFile(Path("config/~qbcopyin.journal"),
                          "T " + target + "\nB " + target +
                              "/.~qbbackup\nR a.txt\nA new.txt\nD sub\n"
                              "A sub/s.txt\nR half-writ");
    qb::RecoverCopyIn(Path("config").string(), AnyTarget);
    EXPECT_EQ(ReadTree(Path("target")), (Tree{{"a.txt", "a1"}}));
    EXPECT_FALSE(fs::exists(Path("config/~qbcopyin.journal")));

    // A completed copy killed before its backup was gone.
    MakeTree(Path("target/.~qbbackup"), {{"a.txt", "old"}});
    kmtest::WriteTextFile(Path("config/~qbcopyin.journal.done"),
                          "T " + target + "\nB " + target + "/.~qbbackup\nR a.txt\n");
    qb::RecoverCopyIn(Path("config").string(), AnyTarget);
    EXPECT_EQ(ReadTree(Path("target")), (Tree{{"a.txt", "a1"}}));
    EXPECT_FALSE(fs::exists(Path("config/~qbcopyin.journal.done")));
}

TEST_F(InstallTransactionTest, CopyInNeverWritesThroughALinkInTheTarget) {
    MakeTree(Path("outside"), {{"victim.txt", "safe"}});
    MakeTree(Path("target"), {{"x", "x"}});
    fs::create_directory_symlink(Path("outside"), Path("target/lib"));
    MakeTree(Path("work/patch"), {{"lib/victim.txt", "overwritten"}});
    EXPECT_FALSE(qb::CopyInWithRollback(Path("work/patch").string(), Path("target").string(), ""));
    EXPECT_EQ(kmtest::ReadTextFile(Path("outside/victim.txt")), "safe");
}

}  // namespace

namespace {

TEST_F(InstallTransactionTest, ABrokenJournalNeitherBlocksNorReachesOutsideTheTarget) {
    MakeTree(Path("target"), {{"a.txt", "a"}});
    const std::string target = Path("target").string();
    // Cut-off escapes, a step without a path and one that climbs out.
    kmtest::WriteTextFile(
        Path("config/~qbcopyin.journal"),
        "T " + target + "\nB " + target + "/.~qbbackup\nA %zz%4\nA \nD ..\nA ../x\n");
    MakeTree(Path("x"), {{"keep", "k"}});
    qb::RecoverCopyIn(Path("config").string(), AnyTarget);
    EXPECT_EQ(ReadTree(Path("target")), (Tree{{"a.txt", "a"}}));
    EXPECT_TRUE(fs::exists(Path("x/keep")));
    EXPECT_FALSE(fs::exists(Path("config/~qbcopyin.journal")));
}

TEST_F(InstallTransactionTest, ALinkedFolderIsReplacedAgainAndAgain) {
    MakeTree(Path("elsewhere"), {{"old.txt", "old"}});
    fs::create_directories(Path("config"));
    fs::create_directory_symlink(Path("elsewhere"), Path("config/dev"));
    for (const char* version : {"one", "two"}) {
        MakeTree(Path("work/dev"), {{"v.txt", version}});
        ASSERT_TRUE(qb::ReplaceFolder(Path("work/dev").string(), Path("config/dev").string()));
        EXPECT_EQ(ReadTree(Path("config/dev")), (Tree{{"v.txt", version}}));
        EXPECT_FALSE(fs::exists(fs::symlink_status(Path("config/dev.~qbold"))));
    }
    // The folder the link pointed to is not the product's to delete.
    EXPECT_EQ(ReadTree(Path("elsewhere")), (Tree{{"old.txt", "old"}}));
}

}  // namespace

namespace {

// Journals another user of the shared configuration folder may plant. None
// of them may touch anything: each is set aside.
TEST_F(InstallTransactionTest, APlantedJournalIsSetAsideAndNothingItNamesIsTouched) {
    const std::string home = Path("home").string();
    const std::string product = Path("product").string();
    const auto onlyProduct = [&product](const std::string& target) { return target == product; };
    struct Case {
        const char* name;
        std::string text;
        bool done = false;
        bool asLink = false;
        bool foreignOwner = false;
    };
    const Case cases[] = {
        {"a target the update never writes",
         "T " + home + "\nB " + home + "/docs\nA important.txt\n"},
        {"a backup that is not the target's own", "T " + product + "\nB " + home + "/docs\nA x\n"},
        {"a replace from a planted backup",
         "T " + home + "\nB " + home + "/.~qbbackup\nR etc/service.conf\n"},
        {"a completed journal naming a foreign backup", "T " + home + "\nB " + home + "/docs\n",
         true},
        {"a step that climbs out",
         "T " + product + "\nB " + product + "/.~qbbackup\nA ../home/important.txt\n"},
        {"a journal of another user",
         "T " + product + "\nB " + product + "/.~qbbackup\nA keep.txt\n", false, false, true},
        {"a link as journal", "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.foreignOwner && ::geteuid() != 0) {
            continue;  // only root can make a file of another user
        }
        fs::remove_all(dir.Path());
        const Tree homeTree{
            {"important.txt", "mine"},     {"docs", "/"},
            {"docs/letter.txt", "letter"}, {"etc", "/"},
            {"etc/service.conf", "real"},  {".~qbbackup", "/"},
            {".~qbbackup/etc", "/"},       {".~qbbackup/etc/service.conf", "attacker's"}};
        MakeTree(Path("home"), homeTree);
        MakeTree(Path("product"), {{"keep.txt", "product"}});
        fs::create_directories(Path("config"));
        const fs::path journal =
            Path(std::string("config/~qbcopyin.journal") + (c.done ? ".done" : ""));
        if (c.asLink) {
            fs::create_symlink(Path("home/important.txt"), journal);
        } else {
            kmtest::WriteTextFile(journal, c.text);
            if (c.foreignOwner) {
                ASSERT_EQ(::chown(journal.c_str(), 65534, 65534), 0);
            }
        }
        qb::RecoverCopyIn(Path("config").string(), onlyProduct);
        EXPECT_EQ(ReadTree(Path("home")), homeTree);
        EXPECT_EQ(ReadTree(Path("product")), (Tree{{"keep.txt", "product"}}));
        EXPECT_FALSE(fs::exists(fs::symlink_status(journal)));
        EXPECT_TRUE(fs::exists(fs::symlink_status(journal.string() + ".refused")));
    }
}

TEST_F(InstallTransactionTest, TheJournalIsMadeAnewAndNeverWrittenThroughALink) {
    MakeTree(Path("victim"), {{"secret", "root only"}});
    fs::permissions(Path("victim/secret"), fs::perms::owner_read | fs::perms::owner_write);
    MakeTree(Path("target"), {{"a.txt", "a1"}});
    MakeTree(Path("work/patch"), {{"a.txt", "a2"}, {"clash", "/"}, {"clash/x", "x"}});
    MakeTree(Path("target"), {{"clash", "file"}});
    fs::create_directories(Path("config"));
    fs::create_symlink(Path("victim/secret"), Path("config/~qbcopyin.journal"));
    // The copy fails on "clash" and rolls back; either way the journal it
    // wrote was its own file.
    EXPECT_FALSE(qb::CopyInWithRollback(Path("work/patch").string(), Path("target").string(),
                                        Path("config").string()));
    EXPECT_EQ(kmtest::ReadTextFile(Path("victim/secret")), "root only");
    EXPECT_EQ(ReadTree(Path("target")), (Tree{{"a.txt", "a1"}, {"clash", "file"}}));

    // A journal kept by a kill is this user's and nobody else's.
    MakeTree(Path("work/patch2"), {{"b.txt", "b"}});
    fs::create_symlink(Path("victim/secret"), Path("config/~qbcopyin.journal"));
    ASSERT_TRUE(qb::CopyInWithRollback(Path("work/patch2").string(), Path("target").string(),
                                       Path("config").string()));
    EXPECT_EQ(kmtest::ReadTextFile(Path("victim/secret")), "root only");
}

}  // namespace

namespace {

// Root's interrupted copy, seen by an ordinary user's run (the window opened
// after a killed root timer run): neither its recovery nor a new copy may
// touch root's journal or backup; only root's next run may.
TEST_F(InstallTransactionTest, RootsInterruptedCopyWaitsForRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    MakeTree(Path("target"), {{"a.txt", "a2"}});
    MakeTree(Path("target/.~qbbackup"), {{"a.txt", "a1"}});
    MakeTree(Path("work/patch"), {{"b.txt", "b"}});
    const std::string target = Path("target").string();
    kmtest::WriteTextFile(Path("target/~qbcopyin.journal"),
                          "T " + target + "\nB " + target + "/.~qbbackup\nR a.txt\n");
    fs::permissions(Path("target/~qbcopyin.journal"), fs::perms(0600));
    ASSERT_EQ(std::system(("chmod 0777 " + dir.Path().string() + " " + target + " " +
                           Path("work").string() + " " + Path("work/patch").string())
                              .c_str()),
              0);
    const pid_t child = ::fork();
    if (child == 0) {
        bool ok = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        qb::RecoverCopyIn(target, AnyTarget);
        ok = ok && !qb::CopyInWithRollback(Path("work/patch").string(), target, target);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(fs::exists(Path("target/~qbcopyin.journal")));
    EXPECT_EQ(ReadTree(Path("target/.~qbbackup")), (Tree{{"a.txt", "a1"}}));

    // Root's own next run rolls it back.
    qb::RecoverCopyIn(target, AnyTarget);
    EXPECT_EQ(ReadTree(Path("target")), (Tree{{"a.txt", "a1"}}));
}

// A copy holds its journal: a recovery running beside it (a run without the
// lock) leaves the live journal alone.
TEST_F(InstallTransactionTest, ALiveCopysJournalIsNotRecovered) {
    MakeTree(Path("target"), {{"a.txt", "a"}});
    const std::string target = Path("target").string();
    kmtest::WriteTextFile(Path("target/~qbcopyin.journal"),
                          "T " + target + "\nB " + target + "/.~qbbackup\nA a.txt\n");
    const km::TUniqueFd live(::open(Path("target/~qbcopyin.journal").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(live.Get(), LOCK_EX), 0);
    qb::RecoverCopyIn(target, AnyTarget);
    EXPECT_EQ(
        ReadTree(Path("target")),
        (Tree{{"a.txt", "a"},
              {"~qbcopyin.journal", kmtest::ReadTextFile(Path("target/~qbcopyin.journal"))}}));
}

}  // namespace
