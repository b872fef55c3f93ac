// Delta packages with the real publisher and the real qbupdate: a product at
// the delta's base release takes the delta and ends where the full package
// takes it; every way a delta can fail ends there too, through the full
// package in the same run.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DescriptorModel.h"
#include "Publisher.h"
#include "QbUpdateRunner.h"
#include "common/crypto/Crypto.h"
#include "common/registry/KmRegistry.h"
#include "quorbel/Product.h"
#include "support/FileTree.h"
#include "support/Sandbox.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using kmtest::MakeTree;
using kmtest::ReadTree;
using kmtest::Tree;
using qbtest::TExit;

constexpr const char* kRelease1 = "20261201";
constexpr const char* kRelease2 = "20261210";

// A binary-like file of size bytes; every 97th byte set from change.
std::string Binary(size_t size, char change) {
    std::string bytes(size, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245 + 12345;
        bytes[i] = static_cast<char>(x >> 16);
        if (i % 97 == 0 && change != 0) {
            bytes[i] = change;
        }
    }
    return bytes;
}

std::string Text(int lines, const std::string& edit) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        text += "line " + std::to_string(i) + (i == lines / 2 ? edit : "") + " of the manual\n";
    }
    return text;
}

// The "package" and "source" of type in qbupdate's JSON.
std::string PackageOf(const std::string& json, const std::string& type) {
    const size_t at = json.find("{\"type\":\"" + type + "\"");
    const size_t package = json.find("\"package\":\"", at);
    if (at == std::string::npos || package == std::string::npos) {
        return "?";
    }
    const size_t start = package + 11;
    return json.substr(start, json.find('"', start) - start);
}

class QbUpdateDeltaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.emplace(kmtest::TTestServerOptions{.port = QBUPDATE_PORT});
        server->ServeDirectory(sandbox.Root() / "server", "/");
        MakeTree(Source(1), {{"dev/d.txt", "dev 1"},
                             {"dev/big.txt", Text(3000, "")},
                             {"patch/app.bin", Binary(300000, 0)},
                             {"patch/lib/x.so", Binary(20000, 1)},
                             {"patch/doc/readme.txt", Text(2000, "")},
                             {"patch/old.txt", "gone in release 2"}});
        MakeTree(Source(2), {{"dev/d.txt", "dev 2"},
                             {"dev/big.txt", Text(3000, " edited")},
                             {"patch/app.bin", Binary(300000, 7)},
                             {"patch/lib/x.so", Binary(20000, 1)},
                             {"patch/doc/readme.txt", Text(2000, " and more")},
                             {"patch/new.txt", "new in release 2"}});
        fs::permissions(Source(2) / "patch/app.bin", fs::perms::owner_all | fs::perms::group_read);
    }
    fs::path Source(int release) const {
        return sandbox.Root() / ("source" + std::to_string(release));
    }
    fs::path ProjectDir() const { return sandbox.Root() / "server/qbdata" / qb::kInstallerProject; }
    fs::path Station(const std::string& name) const { return sandbox.Root() / name; }

    void Publish(int release, bool deltas) {
        qbpublish::TPublishOptions options;
        options.SourceDir = Source(release).string();
        options.OutDir = ProjectDir().string();
        options.Date = release == 1 ? kRelease1 : kRelease2;
        if (deltas) {
            options.DeltaBases.push_back({kRelease1, Source(1).string()});
        }
        qbpublish::Publish(options);
    }
    // The practices lie in another time zone than the publisher: a rebuilt
    // file's time must be what unpacking gives there.
    TExit Run(const std::string& station, const std::vector<std::string>& args = {"--json"}) {
        const kmtest::ScopedEnv zone("TZ", "EST5");
        return qbtest::RunOnWorkstation(Station(station), Station(station) / "data", args);
    }
    // The workstation's product: its installation and dev folders.
    std::pair<Tree, Tree> Product(const std::string& station) const {
        return {ReadTree(Station(station) / "install"),
                ReadTree(Station(station) / "data/config/dev")};
    }
    size_t Requests(const std::string& file) const {
        size_t count = 0;
        for (const kmtest::TSeenRequest& request : server->Requests()) {
            count += request.path.ends_with("/" + file) ? 1 : 0;
        }
        return count;
    }
    qbpublish::TDescriptorModel Descriptor() const {
        return qbpublish::ReadDescriptorModel(
            kmtest::ReadTextFile(ProjectDir() / "configinfo.xml"));
    }

    kmtest::Sandbox sandbox;
    std::optional<kmtest::TestHttpServer> server;
};

// A delta whose patches are damaged, announced with its true digest and size
// (what a faulty publisher would serve).
void DamagePatches(const fs::path& deltaFile, const fs::path& descriptor) {
    int error = 0;
    zip_t* archive = zip_open(deltaFile.c_str(), 0, &error);
    ASSERT_NE(archive, nullptr);
    static const std::string garbage(64, 'x');
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        const std::string name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
        if (name.starts_with("p/")) {
            zip_source_t* source = zip_source_buffer(archive, garbage.data(), garbage.size(), 0);
            ASSERT_EQ(zip_file_replace(archive, static_cast<zip_uint64_t>(i), source, 0), 0);
        }
    }
    ASSERT_EQ(zip_close(archive), 0);
    qbpublish::TDescriptorModel model =
        qbpublish::ReadDescriptorModel(kmtest::ReadTextFile(descriptor));
    for (qbpublish::TPackageEntry& entry : model.Entries) {
        for (qbpublish::TDeltaEntry& delta : entry.Deltas) {
            if (delta.Url.find(deltaFile.filename().string()) != std::string::npos) {
                delta.Sha256 = *km::Sha256OfFile(deltaFile.string());
                delta.Size = std::to_string(fs::file_size(deltaFile));
            }
        }
    }
    kmtest::WriteTextFile(descriptor, qbpublish::DescriptorXml(model));
}

TEST_F(QbUpdateDeltaTest, ADeltaEndsWhereTheFullPackageDoesAndEveryFailureFallsBack) {
    Publish(1, false);
    const std::vector<std::string> stations{"delta",  "full",         "damaged", "mismatch",
                                            "edited", "missing-base", "other"};
    for (const std::string& station : stations) {
        ASSERT_EQ(Run(station).code, 0) << station;
    }
    Publish(2, true);
    const qbpublish::TDescriptorModel model = Descriptor();
    ASSERT_EQ(model.Find("patch")->Deltas.size(), 1u);
    ASSERT_EQ(model.Find("dev")->Deltas.size(), 1u);
    const int64_t fullSize = std::stoll(model.Find("patch")->Size);
    const int64_t deltaSize = std::stoll(model.Find("patch")->Deltas[0].Size);
    EXPECT_LT(deltaSize * 10, fullSize);
    const fs::path pristine = sandbox.Root() / "pristine";
    fs::copy(ProjectDir(), pristine, fs::copy_options::recursive);

    // The delta run, and what a person reads.
    TExit run = Run("delta", {});
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("patch: installed 20261210 (delta)\n"), std::string::npos) << run.out;
    EXPECT_EQ(Requests("patch.zip"), stations.size());  // release 1 only
    EXPECT_EQ(Requests("patch-delta-20261201.zip"), 1u);
    const auto expected = Product("delta");
    EXPECT_EQ(expected.first.at("new.txt"), "new in release 2");
    EXPECT_EQ(expected.second.at("d.txt"), "dev 2");

    const struct {
        const char* station;
        std::function<void()> spoil;
    } fallbacks[] = {
        {"damaged",
         [&] {
             DamagePatches(ProjectDir() / "patch-delta-20261201.zip",
                           ProjectDir() / "configinfo.xml");
         }},
        {"mismatch",
         [&] {
             const fs::path delta = ProjectDir() / "patch-delta-20261201.zip";
             kmtest::WriteTextFile(delta, kmtest::ReadTextFile(delta) + "tail");
         }},
        {"edited",
         [&] {
             const fs::path file = Station("edited") / "install/app.bin";
             kmtest::WriteTextFile(file, "edited here" + kmtest::ReadTextFile(file).substr(11));
         }},
        {"missing-base", [&] { fs::remove(Station("missing-base") / "install/lib/x.so"); }},
    };
    for (const auto& c : fallbacks) {
        SCOPED_TRACE(c.station);
        fs::remove_all(ProjectDir());
        fs::copy(pristine, ProjectDir(), fs::copy_options::recursive);
        c.spoil();
        const size_t before = Requests("patch.zip");
        run = Run(c.station);
        ASSERT_EQ(run.code, 0) << run.out << run.err;
        EXPECT_EQ(PackageOf(run.out, "patch"), "full") << run.out;
        EXPECT_EQ(PackageOf(run.out, "dev"), "delta") << run.out;
        EXPECT_EQ(Requests("patch.zip"), before + 1);
        EXPECT_EQ(Product(c.station), expected);
    }

    // A product at another release takes the full package.
    fs::remove_all(ProjectDir());
    fs::copy(pristine, ProjectDir(), fs::copy_options::recursive);
    {
        const kmtest::ScopedEnv registry("KM_REGISTRY_DIR",
                                         (Station("other") / "registry").string());
        ASSERT_TRUE(
            km::WriteRegString(std::string("lastconfigupdate.") + qb::kInstallerProject + ".patch",
                               "20261105", qb::kProductRegistryKey));
    }
    run = Run("other");
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(PackageOf(run.out, "patch"), "full") << run.out;
    EXPECT_EQ(Product("other"), expected);

    // The same release without deltas, as an older publisher wrote it: the
    // full package gives what the delta gave, modes and times included.
    Publish(2, false);
    run = Run("full");
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_EQ(PackageOf(run.out, "patch"), "full") << run.out;
    EXPECT_EQ(Product("full"), expected);
    for (const char* file :
         {"install/app.bin", "install/doc/readme.txt", "data/config/dev/d.txt"}) {
        struct stat viaDelta {};
        struct stat viaFull {};
        ASSERT_EQ(::stat((Station("delta") / file).c_str(), &viaDelta), 0);
        ASSERT_EQ(::stat((Station("full") / file).c_str(), &viaFull), 0);
        EXPECT_EQ(viaDelta.st_mode, viaFull.st_mode) << file;
        EXPECT_EQ(viaDelta.st_mtime, viaFull.st_mtime) << file;
    }
}

}  // namespace
