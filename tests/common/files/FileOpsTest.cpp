#include "common/files/FileOps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <vector>

#include "support/Sandbox.h"

namespace fs = std::filesystem;
using kmtest::ReadTextFile;
using kmtest::WriteTextFile;

namespace {

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

time_t MTimeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

void SetMTime(const fs::path& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// A folder on another file system than the sandbox, or an empty path.
fs::path OtherFileSystemDir(const fs::path& sandbox) {
    struct stat a {
    }, b{};
    if (::stat(sandbox.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev ||
        ::access("/dev/shm", W_OK) != 0) {
        return {};
    }
    std::string pattern = "/dev/shm/kmtest-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
}

// A package as the engine unpacks it, and a product directory with older
// content to merge into.
class ShellCopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteTextFile(src / "a.txt", "new a");
        WriteTextFile(src / ".hidden", "h");
        WriteTextFile(src / "sub/b.txt", "b");
        WriteTextFile(src / "sub/.h2", "h2");
        WriteTextFile(src / "sub/deeper/run.sh", "#!/bin/sh\n");
        fs::permissions(src / "sub/deeper/run.sh", fs::perms(0750));
        SetMTime(src / "sub/b.txt", 1'000'000'000);
        fs::create_directories(src / "empty");
        WriteTextFile(dst / "a.txt", "old a with longer text");
        WriteTextFile(dst / "sub/old.txt", "old");
        WriteTextFile(dst / "locked.txt", "old");
        fs::permissions(dst / "sub", fs::perms(0555));
    }

    kmtest::TempDir dir;
    fs::path src = dir.Path() / "work/dev";
    fs::path dst = dir.Path() / "product";
};

TEST_F(ShellCopyTest, WildcardCopyMergesOverwritesAndKeepsModesAndTimes) {
    ASSERT_TRUE(km::ShellFileOperation(src.string() + "/*", dst.string(), km::FO_COPY, false));
    EXPECT_EQ(ReadTextFile(dst / "a.txt"), "new a");
    EXPECT_EQ(ReadTextFile(dst / ".hidden"), "h");
    EXPECT_EQ(ReadTextFile(dst / "sub/b.txt"), "b");
    EXPECT_EQ(ReadTextFile(dst / "sub/.h2"), "h2");
    EXPECT_EQ(ReadTextFile(dst / "sub/old.txt"), "old");
    EXPECT_EQ(ReadTextFile(dst / "locked.txt"), "old");
    EXPECT_TRUE(fs::is_directory(dst / "empty"));
    EXPECT_EQ(ModeOf(dst / "sub/deeper/run.sh"), 0750u);
    EXPECT_EQ(MTimeOf(dst / "sub/b.txt"), 1'000'000'000);
    // An existing folder keeps its own mode; a new one gets the source's.
    EXPECT_EQ(ModeOf(dst / "sub"), 0555u);
    EXPECT_EQ(ModeOf(dst / "sub/deeper"), ModeOf(src / "sub/deeper"));
    // The source stays as it was.
    EXPECT_EQ(ReadTextFile(src / "a.txt"), "new a");
}

TEST_F(ShellCopyTest, MergingLeavesModeAndTimesOfExistingFoldersAlone) {
    // The work folder's restrictive mode and old times must not reach the
    // product's folders, nor a folder a link in the product points to.
    const fs::path shared = dir.Path() / "shared";
    fs::create_directories(shared);
    fs::create_directory_symlink(shared, dst / "linked");
    fs::create_directories(dst / "plain");
    WriteTextFile(src / "linked/l.txt", "l");
    WriteTextFile(src / "plain/p.txt", "p");
    WriteTextFile(src / "fresh/f.txt", "f");
    for (const char* name : {"linked", "plain", "fresh"}) {
        fs::permissions(src / name, fs::perms(0700));
        SetMTime(src / name, 1'000'000'000);
    }
    for (const fs::path& existing : {shared, dst / "plain"}) {
        fs::permissions(existing, fs::perms(0751));
    }
    ASSERT_TRUE(km::ShellFileOperation(src.string() + "/*", dst.string(), km::FO_COPY, false));
    EXPECT_EQ(ReadTextFile(shared / "l.txt"), "l");
    EXPECT_EQ(ReadTextFile(dst / "plain/p.txt"), "p");
    for (const fs::path& existing : {shared, dst / "plain"}) {
        EXPECT_EQ(ModeOf(existing), 0751u) << existing;
        EXPECT_NE(MTimeOf(existing), 1'000'000'000) << existing;
    }
    EXPECT_TRUE(fs::is_symlink(dst / "linked"));
    EXPECT_EQ(ModeOf(dst / "fresh"), 0700u);
    EXPECT_EQ(MTimeOf(dst / "fresh"), 1'000'000'000);
}

TEST(FileOps, CopyOfAFileOntoItselfIsRefused) {
    kmtest::TempDir dir;
    const fs::path a = dir.Path() / "a";
    WriteTextFile(a / "x", "content");
    fs::create_directories(a / "sub");
    fs::create_hard_link(a / "x", a / "hard");
    const std::string x = (a / "x").string();
    // Other spellings of x, its own folder, and another name of the same file.
    for (const std::string& target :
         {a.string() + "/./x", a.string() + "//x", a.string() + "/sub/../x", a.string() + "/.",
          a.string() + "/sub/..", (a / "hard").string()}) {
        EXPECT_FALSE(km::ShellFileOperation(x, target, km::FO_COPY, false)) << target;
        EXPECT_EQ(ReadTextFile(a / "x"), "content") << target;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(a), fs::directory_iterator()), 3);
}

// Reads through a shared mapping of the whole file: what a running program
// sees of its file.
class TMappedFile {
  public:
    explicit TMappedFile(const fs::path& path) : fSize(fs::file_size(path)) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        fData = ::mmap(nullptr, fSize, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
    }
    ~TMappedFile() {
        if (fData != MAP_FAILED) {
            ::munmap(fData, fSize);
        }
    }
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;

    bool Valid() const { return fData != MAP_FAILED; }
    std::string Content() const { return std::string(static_cast<const char*>(fData), fSize); }

  private:
    std::size_t fSize;
    void* fData = MAP_FAILED;
};

TEST(FileOps, CopyReplacesAnExistingFileAsAWholeInsteadOfWritingIntoIt) {
    kmtest::TempDir dir;
    const std::string oldText = "the old program, longer than the new one";
    const fs::path source = dir.Path() / "work/prog";
    WriteTextFile(source, "new");
    fs::permissions(source, fs::perms(0750));
    const fs::path outside = dir.Path() / "outside";
    WriteTextFile(outside, oldText);

    struct Case {
        const char* name;
        std::function<void(const fs::path&)> makeDestination;
    };
    const Case cases[] = {
        {"plain", [&](const fs::path& p) { WriteTextFile(p, oldText); }},
        {"read-only",
         [&](const fs::path& p) {
             WriteTextFile(p, oldText);
             fs::permissions(p, fs::perms(0444));
         }},
        {"link", [&](const fs::path& p) { fs::create_symlink(outside, p); }},
    };
    for (const Case& c : cases) {
        const fs::path product = dir.Path() / c.name;
        fs::create_directories(product);
        c.makeDestination(product / "prog");
        const TMappedFile running(product / "prog");
        ASSERT_TRUE(running.Valid()) << c.name;

        EXPECT_TRUE(km::ShellFileOperation(source.string(), product.string(), km::FO_COPY, false))
            << c.name;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(product / "prog"))) << c.name;
        EXPECT_EQ(ReadTextFile(product / "prog"), "new") << c.name;
        EXPECT_EQ(ModeOf(product / "prog"), 0750u) << c.name;
        // The old file is left whole to whoever still has it open or mapped.
        EXPECT_EQ(running.Content(), oldText) << c.name;
        EXPECT_EQ(ReadTextFile(outside), oldText) << c.name;
        // Nothing else, a temporary file included, is left in the folder.
        EXPECT_EQ(std::distance(fs::directory_iterator(product), fs::directory_iterator()), 1)
            << c.name;
    }
}

TEST(FileOps, AFailedCopyLeavesTheExistingFileWhole) {
    kmtest::TempDir dir;
    const fs::path source = dir.Path() / "work/big.bin";
    const fs::path product = dir.Path() / "product";
    WriteTextFile(source, std::string(300000, 'n'));
    WriteTextFile(product / "big.bin", std::string(200000, 'o'));
    // The file-size limit stands in for a full disk; in a child process so
    // the limit does not reach the other tests.
    EXPECT_EXIT(
        ([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{100000, 100000};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const bool ok =
                !km::ShellFileOperation(source.string(), product.string(), km::FO_COPY, false) &&
                ReadTextFile(product / "big.bin") == std::string(200000, 'o') &&
                std::distance(fs::directory_iterator(product), fs::directory_iterator()) == 1;
            std::exit(ok ? 0 : 1);
        }()),
        testing::ExitedWithCode(0), "");
}

TEST_F(ShellCopyTest, WildcardCopyCreatesAMissingTarget) {
    const fs::path fresh = dir.Path() / "fresh/product";
    ASSERT_TRUE(km::ShellFileOperation(src.string() + "/*", fresh.string(), km::FO_COPY, false));
    EXPECT_EQ(ReadTextFile(fresh / "sub/deeper/run.sh"), "#!/bin/sh\n");
    EXPECT_EQ(ReadTextFile(fresh / ".hidden"), "h");
}

TEST_F(ShellCopyTest, GuardsDoNothing) {
    const std::string source = src.string() + "/*";
    struct Case {
        std::string source, target;
        km::TShellFileOp op;
    };
    const Case cases[] = {
        {"", dst.string(), km::FO_COPY},
        {source, "", km::FO_COPY},
        {source, "", km::FO_MOVE},
        {"", "", km::FO_DELETE},
        {dst.string(), dst.string(), km::FO_COPY},
        {dir.Path().string() + "/Product", dst.string(), km::FO_MOVE},  // ASCII case ignored
        {src.string(), src.string() + "/sub", km::FO_COPY},             // into itself
        {source, src.string() + "/sub", km::FO_COPY},
        {src.string(), src.string() + "/new/deeper", km::FO_COPY},  // into itself, not there yet
        {source, src.string() + "/made/deeper", km::FO_COPY},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(km::ShellFileOperation(c.source, c.target, c.op, false)) << c.source;
    }
    EXPECT_EQ(ReadTextFile(dst / "a.txt"), "old a with longer text");
    EXPECT_FALSE(fs::exists(src / "sub/sub"));
    // A refused copy creates nothing on its way.
    EXPECT_FALSE(fs::exists(src / "new"));
    EXPECT_FALSE(fs::exists(src / "made"));
}

TEST_F(ShellCopyTest, SingleSourcePlacement) {
    // Into an existing directory under its own name, else as the target.
    ASSERT_TRUE(
        km::ShellFileOperation(src.string() + "/a.txt", dst.string() + "/", km::FO_COPY, false));
    EXPECT_EQ(ReadTextFile(dst / "a.txt"), "new a");
    ASSERT_TRUE(
        km::ShellFileOperation(src.string() + "/sub", (dst / "copy").string(), km::FO_COPY, false));
    EXPECT_EQ(ReadTextFile(dst / "copy/deeper/run.sh"), "#!/bin/sh\n");
    // A missing source fails.
    EXPECT_FALSE(km::ShellFileOperation(src.string() + "/none", dst.string(), km::FO_COPY, false));
}

TEST_F(ShellCopyTest, MoveDeleteRename) {
    ASSERT_TRUE(km::ShellFileOperation(src.string() + "/*", dst.string(), km::FO_MOVE, false));
    EXPECT_EQ(ReadTextFile(dst / "sub/b.txt"), "b");
    EXPECT_EQ(ReadTextFile(dst / "sub/old.txt"), "old");
    EXPECT_EQ(ReadTextFile(dst / "a.txt"), "new a");
    EXPECT_TRUE(fs::is_empty(src));

    EXPECT_FALSE(km::ShellFileOperation((dst / "a.txt").string(), (dst / "locked.txt").string(),
                                        km::FO_RENAME, false));
    EXPECT_TRUE(km::ShellFileOperation((dst / "a.txt").string(), (dst / "c.txt").string(),
                                       km::FO_RENAME, false));
    EXPECT_EQ(ReadTextFile(dst / "c.txt"), "new a");

    EXPECT_TRUE(km::ShellFileOperation((dst / "sub").string(), "", km::FO_DELETE, false));
    EXPECT_FALSE(fs::exists(dst / "sub"));
    EXPECT_TRUE(km::ShellFileOperation(dst.string() + "/*.txt", "", km::FO_DELETE, false));
    EXPECT_FALSE(fs::exists(dst / "c.txt"));
    EXPECT_TRUE(fs::exists(dst / ".hidden"));
}

TEST(FileOps, DeleteDirectoryTreeRemovesReadOnlyContentButNeverFollowsLinks) {
    kmtest::TempDir dir;
    const fs::path tree = dir.Path() / "tree";
    const fs::path outside = dir.Path() / "outside";
    WriteTextFile(outside / "keep.txt", "keep");
    WriteTextFile(tree / "ro.txt", "r");
    fs::permissions(tree / "ro.txt", fs::perms(0444));
    WriteTextFile(tree / "rodir/inner.txt", "i");
    fs::permissions(tree / "rodir", fs::perms(0555));
    fs::create_directory_symlink(outside, tree / "link");
    fs::create_symlink(outside / "keep.txt", tree / "rodir/filelink");

    EXPECT_TRUE(km::DeleteDirectoryTree(tree.string() + "/"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(ReadTextFile(outside / "keep.txt"), "keep");

    // A link to a directory is not a directory tree of its own.
    fs::create_directory_symlink(outside, dir.Path() / "top-link");
    EXPECT_FALSE(km::DeleteDirectoryTree((dir.Path() / "top-link").string()));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));

    EXPECT_FALSE(km::DeleteDirectoryTree(""));
    EXPECT_FALSE(km::DeleteDirectoryTree((dir.Path() / "missing").string()));
    EXPECT_FALSE(km::DeleteDirectoryTree((outside / "keep.txt").string()));
}

// Folders without read, write or search permission, as an unprivileged user
// meets them (root may enter any folder, so the check runs as "nobody").
TEST(FileOps, DeleteDirectoryTreeRemovesFoldersItMayNotRead) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    kmtest::TempDir dir;
    const fs::path tree = dir.Path() / "tree";
    WriteTextFile(tree / "closed/inner.txt", "i");
    WriteTextFile(tree / "writeonly/inner.txt", "w");
    ASSERT_EQ(std::system(("chown -R 65534:65534 " + dir.Path().string()).c_str()), 0);
    fs::permissions(tree / "closed", fs::perms::none);
    fs::permissions(tree / "writeonly", fs::perms(0300));
    const pid_t child = ::fork();
    if (child == 0) {
        const bool ok = ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                        km::DeleteDirectoryTree(tree.string()) && !fs::exists(tree);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(tree));
}

TEST(FileOps, PathsEndingInDotOrDotDotAreRefused) {
    kmtest::TempDir dir;
    const fs::path b = dir.Path() / "b";
    WriteTextFile(b / "c/file", "c");
    WriteTextFile(b / "other", "o");
    const std::string c = (b / "c").string();
    const std::string target = (dir.Path() / "target").string();
    for (const std::string& path : {c + "/..", c + "/../", c + "/.", c + "/./"}) {
        EXPECT_FALSE(km::DeleteDirectoryTree(path)) << path;
        EXPECT_FALSE(km::ShellFileOperation(path, "", km::FO_DELETE, false)) << path;
        EXPECT_FALSE(km::ShellFileOperation(path, target, km::FO_MOVE, false)) << path;
        EXPECT_FALSE(km::ShellFileOperation(path, target, km::FO_COPY, false)) << path;
        EXPECT_EQ(ReadTextFile(b / "c/file"), "c") << path;
        EXPECT_EQ(ReadTextFile(b / "other"), "o") << path;
        EXPECT_FALSE(fs::exists(target)) << path;
    }
}

// Sets or clears the immutable flag; false where the file system or the
// process's rights do not allow it.
bool SetImmutable(const fs::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

TEST(FileOps, DeleteDirectoryTreeGoesOnAfterAFailure) {
    kmtest::TempDir dir;
    const fs::path tree = dir.Path() / "tree";
    WriteTextFile(tree / "a/stuck/file", "x");
    WriteTextFile(tree / "a/other", "o");
    WriteTextFile(tree / "b.txt", "b");
    if (!SetImmutable(tree / "a/stuck/file", true)) {
        GTEST_SKIP() << "cannot make a file that resists deletion here";
    }
    EXPECT_FALSE(km::DeleteDirectoryTree(tree.string()));
    const bool stayed = fs::exists(tree / "a/stuck/file");
    const bool othersWent = !fs::exists(tree / "b.txt") && !fs::exists(tree / "a/other");
    SetImmutable(tree / "a/stuck/file", false);
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(othersWent);
}

TEST(FileOps, ForceDirectories) {
    kmtest::TempDir dir;
    EXPECT_THROW(
        {
            try {
                km::ForceDirectories("");
            } catch (const km::EInOutError& e) {
                EXPECT_STREQ(e.what(), "Unable to create directory");
                throw;
            }
        },
        km::EInOutError);
    EXPECT_TRUE(km::ForceDirectories(dir / "a/b/c/"));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_TRUE(km::ForceDirectories(dir / "a/b"));
    EXPECT_TRUE(km::ForceDirectories("/"));
    WriteTextFile(dir / "file", "x");
    EXPECT_FALSE(km::ForceDirectories(dir / "file"));
    EXPECT_FALSE(km::ForceDirectories(dir / "file/sub"));
}

TEST(FileOps, MoveFileOrCopySameFileSystem) {
    kmtest::TempDir dir;
    WriteTextFile(dir / "src.zip", "new");
    WriteTextFile(dir / "dst.zip", "old");
    EXPECT_FALSE(km::MoveFileOrCopy(dir / "src.zip", dir / "dst.zip", false));
    EXPECT_EQ(ReadTextFile(dir / "dst.zip"), "old");
    EXPECT_TRUE(km::MoveFileOrCopy(dir / "src.zip", dir / "dst.zip", true));
    EXPECT_EQ(ReadTextFile(dir / "dst.zip"), "new");
    EXPECT_FALSE(fs::exists(dir / "src.zip"));
    // A file onto an existing directory lands inside it.
    fs::create_directory(dir / "folder");
    EXPECT_TRUE(km::MoveFileOrCopy(dir / "dst.zip", dir / "folder", true));
    EXPECT_EQ(ReadTextFile(dir / "folder/dst.zip"), "new");
    // A directory moves as a whole.
    EXPECT_TRUE(km::MoveFileOrCopy(dir / "folder", dir / "moved", false));
    EXPECT_TRUE(fs::exists(dir / "moved/dst.zip"));
    // It never replaces a folder, not even an empty one.
    fs::create_directory(dir / "empty");
    EXPECT_FALSE(km::MoveFileOrCopy(dir / "moved", dir / "empty", true));
    EXPECT_TRUE(fs::exists(dir / "moved/dst.zip"));
    EXPECT_TRUE(fs::is_empty(dir / "empty"));
}

TEST(FileOps, MoveAcrossFileSystems) {
    kmtest::TempDir dir;
    const fs::path other = OtherFileSystemDir(dir.Path());
    if (other.empty()) {
        GTEST_SKIP() << "no second file system";
    }
    WriteTextFile(dir / "pkg.zip", "data");
    fs::permissions(dir / "pkg.zip", fs::perms(0640));
    SetMTime(dir / "pkg.zip", 1'200'000'000);
    WriteTextFile(dir / "tree/f.txt", "f");
    WriteTextFile(dir / "file2", "2");
    WriteTextFile(other / "exists", "old");

    EXPECT_TRUE(km::MoveFileOrCopy(dir / "pkg.zip", (other / "pkg.zip").string(), false));
    EXPECT_FALSE(fs::exists(dir / "pkg.zip"));
    EXPECT_EQ(ReadTextFile(other / "pkg.zip"), "data");
    EXPECT_EQ(ModeOf(other / "pkg.zip"), 0640u);
    EXPECT_EQ(MTimeOf(other / "pkg.zip"), 1'200'000'000);

    EXPECT_FALSE(km::MoveFileOrCopy(dir / "file2", (other / "exists").string(), false));
    EXPECT_EQ(ReadTextFile(other / "exists"), "old");
    EXPECT_TRUE(fs::exists(dir / "file2"));

    EXPECT_FALSE(km::MoveFileOrCopy(dir / "tree", (other / "tree").string(), true));
    EXPECT_TRUE(fs::exists(dir / "tree/f.txt"));
    EXPECT_FALSE(fs::exists(other / "tree"));

    // A name at the file system's limit still crosses: its part file is
    // named shorter.
    const std::string longName(250, 'n');
    WriteTextFile(dir / longName, "long");
    EXPECT_TRUE(km::MoveFileOrCopy(dir / longName, (other / longName).string(), false));
    EXPECT_EQ(ReadTextFile(other / longName), "long");
    EXPECT_EQ(km::CopyPartName("/x/" + std::string(255, 'n')).size(),
              3 + 255u);  // "/x/" and a name of the limit's length
    EXPECT_EQ(km::CopyPartName("/x/a.zip"), std::string("/x/a.zip") + km::kCopyPartSuffix);

    EXPECT_TRUE(km::RenameFile(dir / "file2", (other / "renamed").string()));
    EXPECT_EQ(ReadTextFile(other / "renamed"), "2");
    EXPECT_FALSE(fs::exists(dir / "file2"));

    // The copy step of a tree operation crosses too.
    EXPECT_TRUE(
        km::ShellFileOperation(dir / "tree", (other / "moved").string(), km::FO_MOVE, false));
    EXPECT_EQ(ReadTextFile(other / "moved/f.txt"), "f");
    EXPECT_FALSE(fs::exists(dir / "tree"));
    fs::remove_all(other);
}

// A copy that fails half-way (here: beyond the file size limit, as on a full
// disk) leaves neither a partial file nor a damaged old destination.
TEST(FileOps, FailedCopyAcrossFileSystemsLeavesTheDestinationAsItWas) {
    kmtest::TempDir dir;
    const fs::path other = OtherFileSystemDir(dir.Path());
    if (other.empty()) {
        GTEST_SKIP() << "no second file system";
    }
    WriteTextFile(dir / "big.zip", std::string(1 << 20, 'b'));
    WriteTextFile(other / "old.zip", "old");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool replaced = km::MoveFileOrCopy(dir / "big.zip", (other / "old.zip").string(), true);
    const bool added = km::MoveFileOrCopy(dir / "big.zip", (other / "new.zip").string(), false);
    const bool renamed = km::RenameFile(dir / "big.zip", (other / "renamed.zip").string());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(replaced);
    EXPECT_FALSE(added);
    EXPECT_FALSE(renamed);
    EXPECT_TRUE(ReadTextFile(other / "old.zip") == "old");  // a partial copy would be long to print
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(other)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"old.zip"});
    EXPECT_EQ(fs::file_size(dir / "big.zip"), 1u << 20);
    fs::remove_all(other);
}

TEST(FileOps, DeleteRenameAndExistence) {
    kmtest::TempDir dir;
    WriteTextFile(dir / "f", "x");
    fs::create_directory(dir / "d");
    fs::create_directory_symlink(dir / "d", dir / "dlink");
    fs::create_symlink(dir / "gone", dir / "dangling");

    struct Case {
        std::string path;
        bool isDir, isFile;
    };
    const Case cases[] = {
        {"", false, false},           {dir / "f", false, true},     {dir / "d", true, false},
        {dir / "d/", true, false},    {dir / "dlink", true, false}, {dir / "dangling", false, true},
        {dir / "none", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(km::DirectoryExists(c.path), c.isDir) << c.path;
        EXPECT_EQ(km::FileExists(c.path), c.isFile) << c.path;
    }

    EXPECT_FALSE(km::RenameFile(dir / "f", dir / "d"));
    EXPECT_TRUE(km::RenameFile(dir / "f", dir / "g"));
    EXPECT_FALSE(km::DeleteFile(dir / "d"));
    EXPECT_TRUE(km::DeleteFile(dir / "dlink"));
    EXPECT_TRUE(fs::is_directory(dir / "d"));
    EXPECT_TRUE(km::DeleteFile(dir / "g"));
    EXPECT_FALSE(km::DeleteFile(dir / "g"));
}

}  // namespace
