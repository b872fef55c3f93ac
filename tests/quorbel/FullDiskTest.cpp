// Drill: update runs on small file systems that fill up (tmpfs mounts, so
// the drill needs root; it is skipped where mounting is not allowed). Every
// failure must be reported as a code, the old folders must stay, and no
// working folder or partial file may be left behind to keep the disk full.

#include <sys/mount.h>

#include <random>

#include "UpdateRunFixture.h"
#include "common/registry/KmRegistry.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using qbtest::Tree;

// A tmpfs of the given size mounted on an existing empty folder while the
// object lives.
class TTmpfs {
  public:
    TTmpfs(const fs::path& dir, const std::string& size) : fDir(dir) {
        fs::create_directories(dir);
        const std::string options = "size=" + size;
        fMounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~TTmpfs() {
        if (fMounted) {
            ::umount2(fDir.c_str(), MNT_DETACH);
        }
    }
    TTmpfs(const TTmpfs&) = delete;
    TTmpfs& operator=(const TTmpfs&) = delete;
    bool Mounted() const { return fMounted; }

  private:
    fs::path fDir;
    bool fMounted = false;
};

std::string RandomBytes(size_t size) {
    std::mt19937_64 random(42);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

// Fills the file system of dir until only `leave` bytes are free.
void Fill(const fs::path& dir, uintmax_t leave) {
    const uintmax_t available = fs::space(dir).available;
    ASSERT_GT(available, leave);
    kmtest::WriteTextFile(dir / "filler", std::string(available - leave, 'f'));
}

class FullDiskTest : public qbtest::UpdateRunFixture {
  protected:
    // Mounts a tmpfs on dir, keeping what dir held; skips the test where
    // mounting is not allowed.
    bool Mount(const fs::path& dir, const std::string& size) {
        const fs::path saved = sandbox.Root() / ("saved-" + dir.filename().string());
        fs::rename(dir, saved);
        mounts.push_back(std::make_unique<TTmpfs>(dir, size));
        if (!mounts.back()->Mounted()) {
            return false;
        }
        fs::copy(saved, dir, fs::copy_options::recursive);
        fs::remove_all(saved);
        return true;
    }

    void Publish(const std::string& type, const std::vector<kmtest::ZipEntrySpec>& entries,
                 const std::string& project = "tolvanconfig") {
        fs::create_directories(ProjectDir(project));
        kmtest::WriteZip(ProjectDir(project) / (type + ".zip"), entries);
    }

    // No working folder of ours in the temporary folder or the
    // configuration folder, and no partial package archive.
    void ExpectNothingLeftBehind() {
        for (const auto& entry : fs::directory_iterator(sandbox.TempBase())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(entry.path() == sandbox.PrivateTemp() || name == "filler") << name;
        }
        if (fs::exists(sandbox.PrivateTemp())) {
            EXPECT_TRUE(fs::is_empty(sandbox.PrivateTemp()));
        }
        for (const auto& entry : fs::directory_iterator(ConfigDir())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "dev" || name == "partner" || name == "patch" ||
                        name == "~qbupdate.lock")
                << name;
        }
    }

    void TearDown() override { mounts.clear(); }

    std::vector<std::unique_ptr<TTmpfs>> mounts;
};

// The data folder has room for the small partner package but not for the
// dev package: dev fails without leaving a partial archive, partner installs.
TEST_F(FullDiskTest, DataFolderTooFullForAnArchive) {
    if (!Mount(DataDir(), "8m")) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
    }
    Publish("dev", {kmtest::ZipEntrySpec("dev/big.bin", RandomBytes(2 << 20)).AsStored()});
    Publish("partner", {{"partner/p.txt", "new partner"}});
    WriteDescriptor(Descriptor({{"dev", "dev.zip"}, {"partner", "partner.zip"}}), "tolvanconfig");
    Fill(DataDir(), 512 * 1024);

    const qbtest::TRunResult run = Run(false);
    std::printf("[ drill    ] data folder full for the dev archive: code %d %s\n", run.code,
                run.text.c_str());
    EXPECT_EQ(run.code, 1) << run.text;
    // No partial dev.zip either (tested first: its content is large to print).
    EXPECT_FALSE(fs::exists(ConfigDir() / "dev" / "dev.zip"));
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), OldDev());
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "partner"), (Tree{{"p.txt", "new partner"}}));
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "<none>");
    ExpectNothingLeftBehind();

    // Again, with partner current: dev's own code shows, the archive that did
    // not reach its place (-6), and where and why it did not.
    const qbtest::TRunResult again = Run(false);
    EXPECT_EQ(again.code, -100106);
    EXPECT_EQ(again.text, "Das Paketarchiv " + (ConfigDir() / "dev" / "dev.zip").string() +
                              " fehlt oder kann nicht verwendet werden (No space left on device: " +
                              (ConfigDir() / "dev" / "dev.zip").string() + ").");
    EXPECT_FALSE(fs::exists(ConfigDir() / "dev" / "dev.zip"));
    ExpectNothingLeftBehind();
}

// A package that expands far beyond the free space: refused with -2 before
// anything is unpacked, so the disk stays as free as it was, on this run and
// on the next one, which finds the archive still waiting.
TEST_F(FullDiskTest, ZipBombOnASmallDataFolder) {
    if (!Mount(DataDir(), "8m")) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
    }
    Publish("dev", {{"dev/zeros.bin", std::string(size_t{64} << 20, '\0')}});
    Publish("partner", {{"partner/p.txt", "new partner"}});
    WriteDescriptor(Descriptor({{"dev", "dev.zip"}, {"partner", "partner.zip"}}), "tolvanconfig");
    std::printf("[ drill    ] zip bomb: %ju bytes packed, 64 MiB unpacked, %ju bytes free\n",
                fs::file_size(ProjectDir("tolvanconfig") / "dev.zip"),
                fs::space(DataDir()).available);

    const qbtest::TRunResult run = Run(false);
    std::printf("[ drill    ] zip bomb: code %d, %s\n", run.code, run.text.c_str());
    EXPECT_EQ(run.code, 1);  // partner installed
    EXPECT_NE(run.text.find("not enough free space"), std::string::npos) << run.text;
    const uintmax_t freeAfterFirstRun = fs::space(DataDir()).available;
    EXPECT_EQ(Run(false).code, -100102);  // partner current, dev refused again
    EXPECT_GE(fs::space(DataDir()).available + (64 << 10), freeAfterFirstRun);
    Tree dev = qbtest::ReadTree(ConfigDir() / "dev");
    dev.erase("dev.zip");  // waits for the next run, as any package that failed to install
    EXPECT_EQ(dev, OldDev());
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "partner"), (Tree{{"p.txt", "new partner"}}));
    ExpectNothingLeftBehind();
}

// The temporary folder cannot hold the dev package: dev fails (-3) and its
// partial download must not keep the folder full for the partner package.
TEST_F(FullDiskTest, TemporaryFolderTooSmallForOnePackage) {
    if (!Mount(sandbox.TempBase(), "8m")) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
    }
    Publish("dev", {kmtest::ZipEntrySpec("dev/big.bin", RandomBytes(12 << 20)).AsStored()});
    Publish("partner", {{"partner/p.txt", "new partner"}});
    WriteDescriptor(Descriptor({{"dev", "dev.zip"}, {"partner", "partner.zip"}}), "tolvanconfig");

    const qbtest::TRunResult run = Run(false);
    std::printf("[ drill    ] temporary folder too small for dev: code %d\n", run.code);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), OldDev());
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "partner"), (Tree{{"p.txt", "new partner"}}));
    ExpectNothingLeftBehind();
}

// The installation folder fills up half-way through a patch: the copy is
// rolled back (-8) and the folder holds exactly what it held.
TEST_F(FullDiskTest, InstallationFolderFullDuringAPatch) {
    if (!Mount(InstallDir(), "8m")) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
    }
    std::vector<kmtest::ZipEntrySpec> patch{{"patch/app.bin", "v2"}};
    for (int i = 0; i < 8; ++i) {
        patch.push_back(
            kmtest::ZipEntrySpec("patch/lib/m" + std::to_string(i), RandomBytes(256 * 1024))
                .AsStored());
    }
    Publish("patch", patch, kProject);
    WriteDescriptor(Descriptor({{"patch", "patch.zip"}}));
    Fill(InstallDir(), 1 << 20);
    const Tree before = qbtest::ReadTree(InstallDir());

    const qbtest::TRunResult run = Run(true);
    std::printf("[ drill    ] installation folder full during a patch: code %d\n", run.code);
    EXPECT_EQ(run.code, -100108);  // install: no entry; patch: -8
    EXPECT_EQ(run.text.rfind("Das Paket konnte nicht an seinen Platz gebracht werden (No space "
                             "left on device: " +
                                 InstallDir().string(),
                             0),
              0u)
        << run.text;
    EXPECT_EQ(qbtest::ReadTree(InstallDir()), before);
    ExpectNothingLeftBehind();
    EXPECT_FALSE(fs::exists(ConfigDir() / "patch" / "patch.zip"));
}

}  // namespace
