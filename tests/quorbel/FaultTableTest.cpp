// Every file-system call of a whole update run, failed in turn: whatever
// fails, each type's folder is its old content or its new content, complete;
// a date is recorded exactly for what was installed; a failure the user
// sees carries its cause; and the next run completes the update.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "UpdateRunFixture.h"
#include "common/files/PathUtil.h"
#include "quorbel/Problem.h"
#include "quorbel/UpdateRun.h"
#include "support/FaultFileSystem.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::TFaultFileSystem;
using kmtest::TFsOp;
using kmtest::Tree;

constexpr const char* kDate = "20261211";

// Each kind of fault the tables try at every call of its kind.
struct TFault {
    TFsOp op;
    int error;
    bool sticky;  // every later call fails too (a disk that stays full)
};
const TFault kFaults[] = {
    {TFsOp::Open, EACCES, false},     {TFsOp::Mkdir, ENOSPC, false},
    {TFsOp::Rename, EXDEV, false},    {TFsOp::Rename, EIO, false},
    {TFsOp::Unlink, EIO, false},      {TFsOp::Link, EIO, false},
    {TFsOp::Read, EIO, false},        {TFsOp::Write, ENOSPC, true},
    {TFsOp::CopyRange, EXDEV, false}, {TFsOp::CopyRange, EIO, false},
    {TFsOp::Fsync, EIO, false},       {TFsOp::Truncate, EIO, false},
    {TFsOp::Chmod, EPERM, false},     {TFsOp::Utimens, EPERM, false},
};

const Tree kNewDev{{"d.txt", "new dev"}, {"sub", "/"}, {"sub/y.cfg", "y"}};
const Tree kNewPartner{{"p.txt", "new partner"}, {"more.txt", "more"}};
const Tree kPatch{{"app.bin", "v2"}, {"lib", "/"}, {"lib/new.so", "so"}};
const Tree kInstall{{"setup.sh", "#!/bin/sh\n"}, {"data", "/"}, {"data/a.dat", "a"}};

class FaultTableTest : public qbtest::UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        Publish(
            {{"dev", kNewDev}, {"partner", kNewPartner}, {"patch", kPatch}, {"install", kInstall}},
            kDate, kProject, {{"install", {"", "setup.sh", ""}}});
    }

    void Reset() {
        ResetProduct();
        fs::remove_all(PrivateTemp());
    }

    std::string Recorded(const std::string& type) {
        return settings.Read(qb::LastConfigUpdateRegKey(kProject, type), "");
    }

    // The folders of a type hold either their old or their new content,
    // and the new one exactly when the type reports it installed.
    void ExpectOldOrNew(const qb::TRunReport& report) {
        ASSERT_EQ(report.Types.size(), 4u);
        const Tree patched{
            {"app.bin", "v2"}, {"keep.txt", "keep"}, {"lib", "/"}, {"lib/new.so", "so"}};
        for (const qb::TTypeReport& type : report.Types) {
            SCOPED_TRACE(type.Type);
            const bool installed = type.Installed;
            EXPECT_EQ(Recorded(type.Type), installed ? kDate : "");
            if (type.Type == "dev" || type.Type == "partner") {
                Tree tree = ReadTree(ConfigDir() / type.Type);
                tree.erase(type.Type + ".zip");  // it may wait for the next run
                const Tree& oldTree = type.Type == "dev" ? OldDev() : OldPartner();
                const Tree& newTree = type.Type == "dev" ? kNewDev : kNewPartner;
                EXPECT_EQ(tree, installed ? newTree : oldTree);
            } else if (type.Type == "patch") {
                Tree tree = ReadTree(InstallDir());
                // A completed copy whose backup could not be deleted leaves
                // it for the next run's recovery.
                std::erase_if(tree, [](const auto& entry) {
                    return entry.first.starts_with(".~qbbackup") ||
                           entry.first.starts_with("~qbcopyin.journal.done");
                });
                EXPECT_EQ(tree, installed ? patched : OldInstall());
            } else if (installed) {
                const fs::path program = report.FollowUp.Path();
                Tree tree = ReadTree(program.parent_path());
                // What a failed deletion leaves beside the program: harmless.
                tree.erase("~qbcopyin.journal.done");
                tree.erase("install.zip");
                EXPECT_EQ(tree, kInstall) << program;
            }
            if (type.Code != 0 && type.Code != -1001 && type.Code != -4 && type.Code != -7) {
                EXPECT_FALSE(qb::ProblemText(type.Problem).empty()) << type.Code;
            }
        }
        const int32_t code = qb::CombinedResultCode(report);
        if (code < 0 && !report.Problem.Empty()) {
            EXPECT_FALSE(qb::ProblemText(report.Problem).empty());
        }
    }

    // After a run without faults everything is new and nothing of the
    // failed run is left.
    void ExpectCompletedByTheNextRun() {
        const qb::TRunReport report = RunCore(km::RealFileSystem());
        for (const char* type : {"dev", "partner", "patch", "install"}) {
            EXPECT_EQ(Recorded(type), kDate) << type;
        }
        EXPECT_EQ(ReadTree(ConfigDir() / "dev"), kNewDev);
        EXPECT_EQ(ReadTree(ConfigDir() / "partner"), kNewPartner);
        EXPECT_EQ(kmtest::ReadTextFile(InstallDir() / "app.bin"), "v2");
        ExpectOnlyInConfigDir({"dev", "partner", "patch"});
        for (const auto& entry : fs::directory_iterator(InstallDir())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.find("~qb") == std::string::npos) << "left: " << name;
        }
        for (const auto& entry : fs::directory_iterator(PrivateTemp())) {
            EXPECT_EQ(entry.path().filename().string().substr(0, 3), "~qo")
                << "left: " << entry.path();
        }
    }

    static fs::path PrivateTemp() { return km::GetPrivateTempDir(); }

    void RunTable();
};

void FaultTableTest::RunTable() {
    Reset();
    TFaultFileSystem counting;
    const qb::TRunReport clean = RunCore(counting);
    ASSERT_EQ(qb::CombinedResultCode(clean), 7) << qb::ProblemTextGerman(clean.Problem);

    int points = 0;
    for (const TFault& fault : kFaults) {
        const int calls = counting.Calls(fault.op);
        for (int nth = 1; nth <= calls; ++nth) {
            SCOPED_TRACE(std::string(kmtest::FsOpName(fault.op)) + " #" + std::to_string(nth) +
                         " fails with " + std::strerror(fault.error));
            Reset();
            TFaultFileSystem failing;
            failing.FailAt(fault.op, nth, fault.error, fault.sticky);
            const qb::TRunReport report = RunCore(failing);
            EXPECT_TRUE(failing.Fired());
            if (report.RunCode != 0) {
                // Only the run's own working folder comes before the types.
                EXPECT_TRUE(report.Types.empty()) << report.RunCode;
                EXPECT_FALSE(qb::ProblemText(report.Problem).empty());
            } else {
                ExpectOldOrNew(report);
            }
            ExpectCompletedByTheNextRun();
            ++points;
            if (HasFailure()) {
                return;  // one broken point tells enough
            }
        }
    }
    std::string perCall;
    for (int op = 0; op < static_cast<int>(TFsOp::Count); ++op) {
        perCall += std::string(" ") + kmtest::FsOpName(static_cast<TFsOp>(op)) + "=" +
                   std::to_string(counting.Calls(static_cast<TFsOp>(op)));
    }
    std::printf("[ measure  ] %d fault points over %zu kinds of faults; calls of a clean run:%s\n",
                points, std::size(kFaults), perCall.c_str());
    EXPECT_GT(points, 100);
}

TEST_F(FaultTableTest, EveryFaultLeavesEachTypeOldOrNewAndTheNextRunCompletes) {
    RunTable();
}

// The same with the temporary folder on another file system than the
// product (a tmpfs), as on many machines: packages and unpacked files reach
// the product by copying, and each of those calls fails in turn too.
TEST_F(FaultTableTest, TheSameWithTheTemporaryFolderOnAnotherFileSystem) {
    struct stat shm {};
    struct stat here {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(sandbox.Root().c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/shm on another file system than the sandbox";
    }
    const kmtest::TempDir base("/dev/shm");
    const kmtest::ScopedEnv tmpdir("TMPDIR", base.Path().string());
    RunTable();
}

// A delta run, every file-system call failed in turn: the delta installs,
// or the full package does in its place, or the type stays as it was; the
// next run completes the update.
TEST_F(FaultTableTest, EveryFaultInADeltaRunLeavesEachTypeOldOrNew) {
    // Files large enough that a delta pays.
    std::string manual;
    std::string binary;
    for (int i = 0; i < 2000; ++i) {
        manual += "line " + std::to_string(i) + " of the manual\n";
        binary += std::to_string(i * 7919 % 10007);
    }
    const std::string changed = binary.substr(0, 5000) + "CHANGED" + binary.substr(5007);
    const Tree dev1{{"d.txt", "dev one"}, {"manual.txt", manual}};
    const Tree dev2{{"d.txt", "dev two"}, {"manual.txt", manual}};
    const Tree patch1{{"app.bin", binary}, {"lib", "/"}, {"lib/new.so", "so"}};
    const Tree patch2{
        {"app.bin", changed}, {"lib", "/"}, {"lib/new.so", "so"}, {"lib/more.so", "m"}};
    Publish({{"dev", dev1}, {"patch", patch1}}, kDate);
    Reset();
    ASSERT_EQ(qb::CombinedResultCode(RunCore(km::RealFileSystem())), 3);
    const Tree installed1{
        {"app.bin", binary}, {"keep.txt", "keep"}, {"lib", "/"}, {"lib/new.so", "so"}};
    const Tree installed2{{"app.bin", changed},
                          {"keep.txt", "keep"},
                          {"lib", "/"},
                          {"lib/new.so", "so"},
                          {"lib/more.so", "m"}};
    deltaBases = {{kDate, (sandbox.Root() / (std::string("source-") + kDate)).string()}};
    constexpr const char* kDate2 = "20261212";
    Publish({{"dev", dev2}, {"patch", patch2}}, kDate2);

    // The product at the first release, put back before every point.
    const fs::path saved = sandbox.Root() / "saved";
    fs::create_directories(saved);
    fs::copy(DataDir(), saved / "data", fs::copy_options::recursive);
    fs::copy(InstallDir(), saved / "install", fs::copy_options::recursive);
    const auto savedSettings = settings.Values;
    const auto restore = [&] {
        fs::remove_all(DataDir());
        fs::remove_all(InstallDir());
        fs::remove_all(PrivateTemp());
        fs::copy(saved / "data", DataDir(), fs::copy_options::recursive);
        fs::copy(saved / "install", InstallDir(), fs::copy_options::recursive);
        settings.Values = savedSettings;
    };

    TFaultFileSystem counting;
    const qb::TRunReport clean = RunCore(counting);
    ASSERT_EQ(qb::CombinedResultCode(clean), 3);
    ASSERT_TRUE(clean.Types.at(0).Delta && clean.Types.at(2).Delta)
        << kmtest::ReadTextFile(ProjectDir() / "configinfo.xml");
    int points = 0;
    for (const TFault& fault : kFaults) {
        for (int nth = 1; nth <= counting.Calls(fault.op); ++nth) {
            SCOPED_TRACE(std::string(kmtest::FsOpName(fault.op)) + " #" + std::to_string(nth) +
                         " fails with " + std::strerror(fault.error));
            restore();
            TFaultFileSystem failing;
            failing.FailAt(fault.op, nth, fault.error, fault.sticky);
            const qb::TRunReport report = RunCore(failing);
            if (report.RunCode == 0) {
                const qb::TTypeReport& dev = report.Types.at(0);
                const qb::TTypeReport& patch = report.Types.at(2);
                Tree tree = ReadTree(ConfigDir() / "dev");
                tree.erase("dev.zip");
                EXPECT_EQ(tree, dev.Installed ? dev2 : dev1);
                EXPECT_EQ(Recorded("dev"), dev.Installed ? kDate2 : kDate);
                tree = ReadTree(InstallDir());
                std::erase_if(tree, [](const auto& entry) {
                    return entry.first.starts_with(".~qbbackup") ||
                           entry.first.starts_with("~qbcopyin.journal.done");
                });
                EXPECT_EQ(tree, patch.Installed ? installed2 : installed1);
                EXPECT_EQ(Recorded("patch"), patch.Installed ? kDate2 : kDate);
            }
            RunCore(km::RealFileSystem());
            EXPECT_EQ(ReadTree(ConfigDir() / "dev"), dev2);
            EXPECT_EQ(ReadTree(InstallDir()), installed2);
            EXPECT_EQ(Recorded("patch"), kDate2);
            ++points;
            if (HasFailure()) {
                return;
            }
        }
    }
    std::printf("[ measure  ] %d fault points in a delta run\n", points);
}

}  // namespace
