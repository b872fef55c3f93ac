#include "common/thread/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "common/base/KmException.h"

namespace {

using namespace std::chrono_literals;

// Runs handed-over calls until done() holds; false when it does not hold
// within the deadline.
template <class Pred>
[[nodiscard]] bool PumpUntil(Pred done, std::chrono::seconds deadline = 30s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        km::CheckSynchronize(50ms);
    }
    return true;
}

// The number of threads of this process.
std::size_t ThreadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// Execute relies on members that only the derived constructors set, and on
// the most-derived override of a virtual function.
class TResultThread : public km::TThread {
  public:
    explicit TResultThread(int result) : fResult(result), fLabel("fertig") {}

  protected:
    virtual int Result() const { return fResult; }
    void Execute() override { SetReturnValue(fLabel == "fertig" ? Result() : -1); }

  private:
    int fResult;
    std::string fLabel;
};

class TDoubledResultThread : public TResultThread {
  public:
    explicit TDoubledResultThread(int result) : TResultThread(result), fFactor(2) {}

  protected:
    int Result() const override { return TResultThread::Result() * fFactor; }

  private:
    int fFactor;
};

TEST(Thread, StartsOnlyAfterTheWholeConstructionAndReturnsItsResult) {
    auto thread = km::CreateThread<TDoubledResultThread>(21);
    EXPECT_EQ(thread->WaitFor(), 42);
    EXPECT_TRUE(thread->Finished());
    EXPECT_EQ(thread->ReturnValue(), 42);
    EXPECT_EQ(thread->FatalException(), nullptr);
}

// A worker whose body the test supplies, with an OnTerminate that records
// where and how often it ran.
class TScriptThread : public km::TThread {
  public:
    explicit TScriptThread(std::function<void(TScriptThread&)> body) : fBody(std::move(body)) {
        OnTerminate = [this](km::TThread& sender) {
            EXPECT_EQ(&sender, this);
            HandlerOnMainThread = km::IsMainThread();
            ++HandlerRuns;
        };
    }

    std::atomic<bool> HandlerOnMainThread{false};
    std::atomic<int> HandlerRuns{0};
    std::latch ExecuteDone{1};

  protected:
    void Execute() override {
        // Counted down however the body leaves.
        struct TDone {
            std::latch& Done;
            ~TDone() { Done.count_down(); }
        } done{ExecuteDone};
        fBody(*this);
    }

  private:
    std::function<void(TScriptThread&)> fBody;
};

TEST(Thread, AnEndedWorkerWaitsForTheMainThreadToRunOnTerminate) {
    auto thread =
        km::CreateThread<TScriptThread>([](TScriptThread& self) { self.SetReturnValue(3); });
    thread->ExecuteDone.wait();
    // Nothing has run the handed-over OnTerminate yet, however long we wait.
    EXPECT_FALSE(thread->Finished());
    EXPECT_EQ(thread->HandlerRuns, 0);

    ASSERT_TRUE(PumpUntil([&] { return thread->Finished(); }));
    EXPECT_EQ(thread->HandlerRuns, 1);
    EXPECT_TRUE(thread->HandlerOnMainThread);
    EXPECT_EQ(thread->WaitFor(), 3);
}

TEST(Thread, WaitForRunsHandedOverCallsOnTheMainThread) {
    std::atomic<bool> callOnMainThread{false};
    auto thread = km::CreateThread<TScriptThread>([&](TScriptThread& self) {
        km::Synchronize([&] { callOnMainThread = km::IsMainThread(); });
        self.SetReturnValue(5);
    });
    EXPECT_EQ(thread->WaitFor(), 5);
    EXPECT_TRUE(callOnMainThread);
    EXPECT_EQ(thread->HandlerRuns, 1);
    EXPECT_TRUE(thread->HandlerOnMainThread);
}

TEST(Thread, AnExceptionEscapingExecuteBecomesTheFatalException) {
    auto thread = km::CreateThread<TScriptThread>([](TScriptThread& self) {
        self.SetReturnValue(9);
        throw std::runtime_error("kaputt");
    });
    EXPECT_EQ(thread->WaitFor(), 9);
    EXPECT_EQ(thread->HandlerRuns, 1);
    ASSERT_NE(thread->FatalException(), nullptr);
    try {
        std::rethrow_exception(thread->FatalException());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "kaputt");
    }
}

class TThrowingHandlerThread : public TScriptThread {
  public:
    TThrowingHandlerThread() : TScriptThread([](TScriptThread&) {}) {
        OnTerminate = [](km::TThread&) { throw km::EInternalError("im Handler"); };
    }
};

TEST(Thread, AnExceptionEscapingOnTerminateIsKeptToo) {
    auto thread = km::CreateThread<TThrowingHandlerThread>();
    thread->WaitFor();
    ASSERT_NE(thread->FatalException(), nullptr);
    EXPECT_THROW(std::rethrow_exception(thread->FatalException()), km::EInternalError);
}

TEST(Thread, AnExceptionOfAHandedOverCallReachesTheWorker) {
    auto thread = km::CreateThread<TScriptThread>([](TScriptThread& self) {
        try {
            km::Synchronize([] { throw km::EInternalError("auf dem Hauptthread"); });
        } catch (const km::EInternalError& e) {
            self.SetReturnValue(e.Message() == "auf dem Hauptthread" ? 1 : 2);
        }
    });
    EXPECT_EQ(thread->WaitFor(), 1);
    EXPECT_EQ(thread->FatalException(), nullptr);
}

// Installs a wake-up hook for one test and removes it afterwards.
class WakeHookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        km::SetWakeMainThread([this] {
            std::lock_guard lock(fMutex);
            ++fWakeUps;
            fChanged.notify_all();
        });
    }
    void TearDown() override { km::SetWakeMainThread(nullptr); }

    void WaitForWakeUp() {
        std::unique_lock lock(fMutex);
        fChanged.wait(lock, [this] { return fWakeUps > 0; });
    }

  private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    int fWakeUps = 0;
};

TEST_F(WakeHookTest, HandingOverACallWakesTheMainThread) {
    std::atomic<int> calls{0};
    auto thread =
        km::CreateThread<TScriptThread>([&](TScriptThread&) { km::Synchronize([&] { ++calls; }); });
    // The event loop's part: woken by the hook, it runs the pending calls.
    WaitForWakeUp();
    EXPECT_TRUE(km::CheckSynchronize());
    EXPECT_EQ(calls, 1);
    thread->WaitFor();
}

TEST(Thread, MainThreadRulesForHandedOverCalls) {
    EXPECT_TRUE(km::IsMainThread());
    EXPECT_FALSE(km::CheckSynchronize());

    // On the main thread a handed-over call runs at once, exceptions included.
    bool ran = false;
    km::Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_THROW(km::Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);

    bool otherIsMain = true;
    bool checkFailed = false;
    std::thread other([&] {
        otherIsMain = km::IsMainThread();
        try {
            km::CheckSynchronize();
        } catch (const km::EAssertionFailed&) {
            checkFailed = true;
        }
    });
    other.join();
    EXPECT_FALSE(otherIsMain);
    EXPECT_TRUE(checkFailed);
}

TEST(Thread, FreeingTheOwnerOfARunningThreadStopsAndWaitsForIt) {
    std::atomic<bool> sawTerminated{false};
    auto thread = km::CreateThread<TScriptThread>([&](TScriptThread& self) {
        while (!self.Terminated()) {
            std::this_thread::sleep_for(1ms);
        }
        km::Synchronize([] {});
        sawTerminated = true;
    });
    thread.reset();
    EXPECT_TRUE(sawTerminated);
}

TEST(Thread, WaitForOnAnotherThreadOnlyWaits) {
    auto thread = km::CreateThread<TResultThread>(4);
    int result = 0;
    std::thread other([&] { result = thread->WaitFor(); });
    other.join();
    EXPECT_EQ(result, 4);
    // Without an OnTerminate nothing was left for the main thread.
    EXPECT_TRUE(thread->Finished());
}

// Frees itself on its own thread after OnTerminate has run.
class TSelfFreeingThread : public km::TThread {
  public:
    using TGone = std::shared_ptr<std::latch>;

    static void Launch(TGone gone) {
        auto thread = std::make_unique<TSelfFreeingThread>(std::move(gone));
        thread->SetFreeOnTerminate(true);
        thread->Start();
        thread.release();  // from now on the thread owns itself
    }

    // gone is shared because the thread still holds it while it finishes
    // freeing itself.
    explicit TSelfFreeingThread(TGone gone) : fGone(std::move(gone)), fPayload(1000, 'x') {
        OnTerminate = [](km::TThread&) {};
    }
    ~TSelfFreeingThread() override { fGone->count_down(); }

  protected:
    void Execute() override { SetReturnValue(static_cast<int>(fPayload.size())); }

  private:
    TGone fGone;
    std::string fPayload;
};

TEST(Thread, AThreadThatFreesItselfIsGoneAfterItsEnd) {
    // A sanitizer starts a thread of its own with the first thread of the
    // process; let that happen before counting.
    std::thread([] {}).join();
    const std::size_t before = ThreadCount();
    auto gone = std::make_shared<std::latch>(1);
    TSelfFreeingThread::Launch(gone);
    // Its object is deleted, and its system thread has ended.
    EXPECT_TRUE(PumpUntil([&] { return gone->try_wait(); }));
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() == before; }))
        << ThreadCount() << " threads, " << before << " before";
}

TEST(Thread, NobodyWaitsForAThreadThatFreesItself) {
    auto gone = std::make_shared<std::latch>(1);
    {
        TSelfFreeingThread unstarted(gone);
        unstarted.SetFreeOnTerminate(true);
        EXPECT_THROW(unstarted.WaitFor(), km::EInternalError);
    }
    EXPECT_TRUE(gone->try_wait());
    // An owned thread cannot turn into one that frees itself.
    auto owned = km::CreateThread<TResultThread>(1);
    EXPECT_THROW(owned->SetFreeOnTerminate(true), km::EAssertionFailed);
}

// Sets FreeOnTerminate in its constructor, which an owned thread must not.
class TFreesItselfFromTheStart : public TSelfFreeingThread {
  public:
    explicit TFreesItselfFromTheStart(TGone gone) : TSelfFreeingThread(std::move(gone)) {
        SetFreeOnTerminate(true);
    }
};

TEST(Thread, AnOwnerRefusesAThreadThatWouldFreeItselfWithoutStartingIt) {
    auto gone = std::make_shared<std::latch>(1);
    EXPECT_THROW(km::CreateThread<TFreesItselfFromTheStart>(gone), km::EAssertionFailed);
    // Freed on the way out, never started.
    EXPECT_TRUE(gone->try_wait());
}

}  // namespace
