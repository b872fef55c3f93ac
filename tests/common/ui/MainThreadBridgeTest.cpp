#include "common/ui/MainThreadBridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/thread/Thread.h"
#include "support/ui/UiTestSupport.h"

namespace {

TEST(MainThreadBridge, HandedOverCallsRunFromTheEventLoop) {
    std::atomic<bool> ranOnMainThread{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        km::Synchronize([&] { ranOnMainThread = km::IsMainThread(); });
        returned = true;
    });
    // Nothing but the event loop runs the call.
    EXPECT_TRUE(kmtest::ProcessEventsUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMainThread);
}

}  // namespace
