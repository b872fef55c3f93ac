#include "common/zip/KmZipper.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zip.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <iterator>
#include <utility>

#include "support/Sandbox.h"
#include "support/ZipFixture.h"

namespace fs = std::filesystem;
using kmtest::ReadTextFile;
using kmtest::WriteTextFile;
using kmtest::ZipEntrySpec;
using testing::HasSubstr;

namespace {

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// The message ExtractZipArchive raises, or "" when it succeeds.
std::string ExtractError(const fs::path& archive, const fs::path& target,
                         const std::string& password = {}) {
    try {
        km::ExtractZipArchive(archive.string(), target.string(), password);
    } catch (const km::EZipError& e) {
        return e.what();
    }
    return {};
}

// Run once when the code under test next hands an archive to libzip, through
// the wrappers below.
std::function<void()> gWhenLibzipOpens;

template <class TFunction>
TFunction* LibzipFunction(const char* name) {
    if (gWhenLibzipOpens) {
        std::exchange(gWhenLibzipOpens, nullptr)();
    }
    return reinterpret_cast<TFunction*>(::dlsym(RTLD_NEXT, name));
}

// The number of descriptors this process has open.
std::ptrdiff_t OpenDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

class ZipExtractTest : public ::testing::Test {
  protected:
    kmtest::TempDir dir;
    fs::path archive = dir.Path() / "package.zip";
    fs::path target = dir.Path() / "work";
};

TEST_F(ZipExtractTest, TreeWithFoldersEmptyFoldersAndBothSeparators) {
    kmtest::WriteZip(archive, {
                                  ZipEntrySpec("dev/"),
                                  ZipEntrySpec("dev/readme.txt", "hello"),
                                  ZipEntrySpec("dev/empty/"),
                                  ZipEntrySpec("dev/a/b/c/deep.bin", std::string(70000, 'x')),
                                  ZipEntrySpec("dev\\win\\style.txt", "win").AsStored(),
                                  ZipEntrySpec("dev/Makefile", "no dot"),
                                  ZipEntrySpec("dev/zero", ""),
                              });
    EXPECT_EQ(ExtractError(archive, target.string() + "/"), "");
    EXPECT_EQ(ReadTextFile(target / "dev/readme.txt"), "hello");
    EXPECT_TRUE(fs::is_directory(target / "dev/empty"));
    EXPECT_EQ(ReadTextFile(target / "dev/a/b/c/deep.bin"), std::string(70000, 'x'));
    EXPECT_EQ(ReadTextFile(target / "dev/win/style.txt"), "win");
    EXPECT_EQ(ReadTextFile(target / "dev/Makefile"), "no dot");
    EXPECT_TRUE(fs::is_regular_file(target / "dev/zero"));
    EXPECT_EQ(fs::file_size(target / "dev/zero"), 0u);
}

TEST_F(ZipExtractTest, ZippedFolderRoundTrip) {
    const fs::path tree = dir.Path() / "tree";
    WriteTextFile(tree / "patch/bin/tool", "#!/bin/sh\n");
    fs::permissions(tree / "patch/bin/tool", fs::perms(0755));
    fs::create_directories(tree / "patch/empty");
    kmtest::ZipFolder(tree, archive, "secret");
    EXPECT_EQ(ExtractError(archive, target, "secret"), "");
    EXPECT_EQ(ReadTextFile(target / "patch/bin/tool"), "#!/bin/sh\n");
    EXPECT_EQ(ModeOf(target / "patch/bin/tool") & 07777, 0755u);
    EXPECT_TRUE(fs::is_directory(target / "patch/empty"));
}

TEST_F(ZipExtractTest, LaterEntryOfTheSamePathWins) {
    kmtest::WriteZip(archive, {ZipEntrySpec("d/dupA", "first").WithDosAttributes(0x01),
                               ZipEntrySpec("d/dupB", "second, longer")});
    ASSERT_EQ(kmtest::ReplaceBytes(archive, "dupB", "dupA"), 2u);
    // An existing file of that path is replaced as well.
    WriteTextFile(target / "d/dupA", "existing");
    EXPECT_EQ(ExtractError(archive, target), "");
    EXPECT_EQ(ReadTextFile(target / "d/dupA"), "second, longer");
}

TEST_F(ZipExtractTest, AttributesAndTimes) {
    const std::time_t when = 1'300'000'000;
    kmtest::WriteZip(archive, {ZipEntrySpec("ro.txt", "r").WithDosAttributes(0x01).WithMTime(when),
                               ZipEntrySpec("rw.txt", "w").WithDosAttributes(0x20),
                               ZipEntrySpec("run.sh", "x").WithUnixMode(0100755),
                               ZipEntrySpec("suid", "s").WithUnixMode(0106750),
                               ZipEntrySpec("private", "p").WithUnixMode(0100600)});
    EXPECT_EQ(ExtractError(archive, target), "");
    EXPECT_EQ(ModeOf(target / "ro.txt") & 0222, 0u);
    EXPECT_NE(ModeOf(target / "rw.txt") & 0200, 0u);
    EXPECT_EQ(ModeOf(target / "run.sh") & 07777, 0755u);
    EXPECT_EQ(ModeOf(target / "suid") & 07777, 0750u);
    EXPECT_EQ(ModeOf(target / "private") & 07777, 0600u);
    struct stat st {};
    ASSERT_EQ(::stat((target / "ro.txt").c_str(), &st), 0);
    // DOS times have a resolution of two seconds.
    EXPECT_NEAR(static_cast<double>(st.st_mtime), static_cast<double>(when), 2.0);
    // Extracting again replaces the read-only file.
    EXPECT_EQ(ExtractError(archive, target), "");
}

TEST_F(ZipExtractTest, Passwords) {
    const std::vector<ZipEntrySpec> entries = {
        ZipEntrySpec("p/secret.txt", "s").WithPassword("pw1"), ZipEntrySpec("p/open.txt", "o"),
        ZipEntrySpec("p/stored.txt", "t").WithPassword("pw1").AsStored()};
    kmtest::WriteZip(archive, entries);
    for (int i = 0; i < 20 && !kmtest::CheckByteRejects(archive, "wrong"); ++i) {
        kmtest::WriteZip(archive, entries);
    }
    ASSERT_TRUE(kmtest::CheckByteRejects(archive, "wrong"));
    EXPECT_EQ(ExtractError(archive, target, ""), "Cannot extract file - invalid password");
    EXPECT_EQ(ExtractError(archive, target, "wrong"), "Cannot extract file - invalid password");
    EXPECT_FALSE(fs::exists(target / "p/secret.txt"));
    EXPECT_EQ(ExtractError(archive, target, "pw1"), "");
    EXPECT_EQ(ReadTextFile(target / "p/secret.txt"), "s");
    EXPECT_EQ(ReadTextFile(target / "p/open.txt"), "o");
    EXPECT_EQ(ReadTextFile(target / "p/stored.txt"), "t");

    // Unencrypted entries need no password.
    kmtest::WriteZip(archive, {ZipEntrySpec("plain.txt", "x")});
    EXPECT_EQ(ExtractError(archive, target, "anything"), "");
}

TEST_F(ZipExtractTest, DamagedEntriesStopTheExtractionAndLeaveNoPartialFile) {
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::string message;
    };
    const std::vector<ZipEntrySpec> entries = {
        ZipEntrySpec("ok.txt", "fine"), ZipEntrySpec("bad.txt", "PAYLOAD-0123456789").AsStored(),
        ZipEntrySpec("after.txt", "never")};
    const Case cases[] = {
        {"crc", [&] { kmtest::ReplaceBytes(archive, "PAYLOAD-0", "PAYLOAD-X"); },
         "Failed CRC Check"},
        {"method 7", [&] { kmtest::PatchZipHeader(archive, 1, kmtest::ZipHeaderField::Method, 7); },
         "Cannot extract file - unsupported compression method"},
        {"deflate64",
         [&] { kmtest::PatchZipHeader(archive, 1, kmtest::ZipHeaderField::Method, 9); },
         "Cannot extract file - unsupported compression method"},
        {"xz", [&] { kmtest::PatchZipHeader(archive, 1, kmtest::ZipHeaderField::Method, 95); },
         "Cannot extract file - unsupported compression method"},
        {"version 6.4",
         [&] { kmtest::PatchZipHeader(archive, 1, kmtest::ZipHeaderField::VersionNeeded, 64); },
         "Cannot extract file - newer version required"},
        {"version 6.3 from Unix",
         [&] { kmtest::PatchZipHeader(archive, 1, kmtest::ZipHeaderField::VersionNeeded, 0x033F); },
         ""},
    };
    for (const Case& c : cases) {
        kmtest::WriteZip(archive, entries);
        c.damage();
        fs::remove_all(target);
        EXPECT_EQ(ExtractError(archive, target), c.message) << c.what;
        EXPECT_EQ(ReadTextFile(target / "ok.txt"), "fine") << c.what;
        EXPECT_EQ(fs::exists(target / "bad.txt"), c.message.empty()) << c.what;
        EXPECT_EQ(fs::exists(target / "after.txt"), c.message.empty()) << c.what;
    }
}

TEST_F(ZipExtractTest, WhatIsNotAnArchive) {
    // An empty file is an archive without entries.
    WriteTextFile(archive, "");
    EXPECT_EQ(ExtractError(archive, target), "");
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(fs::is_empty(target));

    WriteTextFile(archive, "<html><body>404 Not Found</body></html>\n");
    const std::ptrdiff_t descriptors = OpenDescriptors();
    EXPECT_EQ(ExtractError(archive, target), "Unhandled Archive Type");
    EXPECT_EQ(OpenDescriptors(), descriptors);

    kmtest::WriteZip(archive, {ZipEntrySpec("a.txt", std::string(5000, 'a'))});
    const auto size = fs::file_size(archive);
    fs::resize_file(archive, size - 10);
    EXPECT_EQ(ExtractError(archive, target), "Unhandled Archive Type");

    EXPECT_THAT(ExtractError(dir.Path() / "missing.zip", target),
                HasSubstr("No such file or directory"));
    EXPECT_THAT(ExtractError(dir.Path() / "missing.zip", target), HasSubstr("missing.zip"));
}

TEST_F(ZipExtractTest, AnArchiveReplacedByNameDuringTheExtractionDoesNotMixIn) {
    kmtest::WriteZip(archive, {ZipEntrySpec("dev/a.txt", "checked")});
    const fs::path other = dir.Path() / "other.zip";
    kmtest::WriteZip(other, {ZipEntrySpec("dev/a.txt", "swapped in")});
    // Someone renames another file over the archive once the extraction has
    // opened it: what is checked and what is extracted is the opened file.
    gWhenLibzipOpens = [&] { fs::rename(other, archive); };
    EXPECT_EQ(ExtractError(archive, target), "");
    EXPECT_FALSE(gWhenLibzipOpens) << "the archive never reached libzip";
    EXPECT_EQ(ReadTextFile(target / "dev/a.txt"), "checked");
}

TEST_F(ZipExtractTest, TargetDirectory) {
    kmtest::WriteZip(archive, {ZipEntrySpec("a.txt", "a")});
    EXPECT_EQ(ExtractError(archive, ""), "Unable to create directory");
    WriteTextFile(dir.Path() / "file", "x");
    EXPECT_EQ(ExtractError(archive, dir.Path() / "file/sub"), "Directory does not exist");
    EXPECT_EQ(ExtractError(archive, dir.Path() / "new/deeper"), "");
    EXPECT_EQ(ReadTextFile(dir.Path() / "new/deeper/a.txt"), "a");
}

TEST_F(ZipExtractTest, NamesOutsideTheTargetAreRefusedBeforeAnythingIsWritten) {
    const std::string names[] = {"../evil.txt",
                                 "dev/../../evil.txt",
                                 "..\\evil.txt",
                                 "/tmp/evil.txt",
                                 "\\\\server\\share\\evil.txt",
                                 "C:/evil.txt",
                                 "c:evil.txt",
                                 "dev/../.."};
    for (const std::string& name : names) {
        kmtest::WriteZip(archive, {ZipEntrySpec("first.txt", "1"), ZipEntrySpec(name, "evil")});
        fs::remove_all(target);
        EXPECT_EQ(ExtractError(archive, target), "Cannot extract file - unsafe path: " + name);
        EXPECT_EQ(ReadTextFile(target / "first.txt"), "1") << name;
        EXPECT_FALSE(fs::exists(dir.Path() / "evil.txt")) << name;
        EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1)
            << name;
    }
    // Harmless dots stay.
    kmtest::WriteZip(archive, {ZipEntrySpec("./dev/./x..y/.z", "ok")});
    EXPECT_EQ(ExtractError(archive, target), "");
    EXPECT_EQ(ReadTextFile(target / "dev/x..y/.z"), "ok");
}

TEST_F(ZipExtractTest, LinksAreNeverCreatedNorFollowed) {
    const fs::path outside = dir.Path() / "outside";
    WriteTextFile(outside / "victim", "safe");
    fs::create_directories(target);
    fs::create_directory_symlink(outside, target / "dirlink");
    fs::create_symlink(outside / "victim", target / "filelink");

    // A link entry becomes a file holding the link text.
    kmtest::WriteZip(archive, {ZipEntrySpec("link", "/etc/passwd").WithUnixMode(0120777),
                               ZipEntrySpec("filelink", "replaced")});
    EXPECT_EQ(ExtractError(archive, target), "");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target / "link")));
    EXPECT_EQ(ReadTextFile(target / "link"), "/etc/passwd");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target / "filelink")));
    EXPECT_EQ(ReadTextFile(outside / "victim"), "safe");

    // A path through a link already in the target is not taken.
    kmtest::WriteZip(archive, {ZipEntrySpec("dirlink/victim", "evil")});
    EXPECT_THAT(ExtractError(archive, target), HasSubstr("dirlink/victim"));
    kmtest::WriteZip(archive, {ZipEntrySpec("dirlink/new/")});
    EXPECT_NE(ExtractError(archive, target), "");
    EXPECT_EQ(ReadTextFile(outside / "victim"), "safe");
    EXPECT_FALSE(fs::exists(outside / "new"));
}

TEST_F(ZipExtractTest, WriteErrorSurfacesAndRemovesThePartialFile) {
    kmtest::WriteZip(archive, {ZipEntrySpec("small.txt", "s"),
                               ZipEntrySpec("big.bin", std::string(300000, 'b'))});
    // The file-size limit stands in for a full disk; in a child process so
    // the limit does not reach the other tests.
    EXPECT_EXIT(([&] {
                    std::signal(SIGXFSZ, SIG_IGN);
                    const rlimit limit{100000, 100000};
                    ::setrlimit(RLIMIT_FSIZE, &limit);
                    const std::string message = ExtractError(archive, target);
                    const bool ok = message.find("File too large") != std::string::npos &&
                                    message.find("big.bin") != std::string::npos &&
                                    !fs::exists(target / "big.bin") &&
                                    fs::exists(target / "small.txt");
                    std::exit(ok ? 0 : 1);
                }()),
                testing::ExitedWithCode(0), "");
}

}  // namespace

// A definition in the program goes before the library's, so the extraction's
// calls into libzip pass here first.
extern "C" zip_t* zip_open(const char* path, int flags, int* errorp) {
    return LibzipFunction<zip_t*(const char*, int, int*)>("zip_open")(path, flags, errorp);
}

extern "C" zip_t* zip_fdopen(int fd, int flags, int* errorp) {
    return LibzipFunction<zip_t*(int, int, int*)>("zip_fdopen")(fd, flags, errorp);
}

extern "C" zip_t* zip_open_from_source(zip_source_t* source, int flags, zip_error_t* error) {
    return LibzipFunction<zip_t*(zip_source_t*, int, zip_error_t*)>("zip_open_from_source")(
        source, flags, error);
}
