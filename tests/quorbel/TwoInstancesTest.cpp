// Drill: two updaters started at the same time on one product. The update
// lock must keep their installations apart: the second waits until the
// first has ended and then finds everything current.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "UpdateRunFixture.h"
#include "common/thread/Thread.h"
#include "common/thread/ThreadManager.h"
#include "support/ZipFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TwoInstancesTest : public qbtest::UpdateRunFixture {
  protected:
    int Count(const std::string& path) const {
        int n = 0;
        for (const kmtest::TSeenRequest& request : server.Requests()) {
            n += request.path == path ? 1 : 0;
        }
        return n;
    }
};

TEST_F(TwoInstancesTest, SecondWaitsForTheFirstThenFindsEverythingCurrent) {
    const fs::path package = sandbox.Root() / "server" / "dev.zip";
    kmtest::WriteZip(package, {{"dev/"}, {"dev/new.txt", "new dev"}});
    WriteDescriptor(Descriptor({{"dev", "dev.zip"}}), "tolvanconfig");
    const std::string descriptorPath = "/qbdata/tolvanconfig/configinfo.xml";
    const std::string packagePath = "/qbdata/tolvanconfig/dev.zip";

    // The package download of whichever run comes first is held until the
    // test has looked at what the other run did meanwhile.
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool release = false;
    server.Route(packagePath, [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        response.set_content(kmtest::ReadTextFile(package), "application/zip");
    });

    qb::TUpdaterSettings settings;
    settings.ConfigServerRoot = server.BaseUrl();
    km::TThreadManager manager;
    for (const char* id : {"A", "B"}) {
        km::CreateManagedThread<qb::TConfigUpdaterThread>(id, &manager, true, false, "", settings);
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return held; }));
    }
    // Without the lock the other run would have fetched the descriptor and
    // started its own download by now.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Count(descriptorPath), 1);
    EXPECT_EQ(Count(packagePath), 1);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + kRunDeadline;
    while (manager.IsRunning("A") || manager.IsRunning("B")) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the runs did not end";
        km::CheckSynchronize(10ms);
    }

    const int a = manager.GetThreadResult("A");
    const int b = manager.GetThreadResult("B");
    std::printf(
        "[ drill    ] two instances: results %d and %d, descriptor fetched %d times, "
        "package %d times\n",
        a, b, Count(descriptorPath), Count(packagePath));
    EXPECT_EQ(std::min(a, b), -101101);  // partner: no entry; dev: current
    EXPECT_EQ(std::max(a, b), 1);
    EXPECT_EQ(Count(descriptorPath), 2);
    EXPECT_EQ(Count(packagePath), 1);
    EXPECT_EQ(qbtest::ReadTree(ConfigDir() / "dev"), (qbtest::Tree{{"new.txt", "new dev"}}));
    EXPECT_EQ(RegValue("lastconfigupdate.dev"), "D1");
}

}  // namespace
