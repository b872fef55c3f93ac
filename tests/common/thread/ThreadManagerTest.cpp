#include "common/thread/ThreadManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "common/base/KmException.h"

namespace {

using namespace std::chrono_literals;

// A managed worker whose body the test supplies; counts the live workers so
// that tests can see who freed what.
class TTestWorker : public km::TManagedThread {
  public:
    using TBody = std::function<void(TTestWorker&)>;

    TTestWorker(const std::string& id, km::TThreadManager* manager, std::atomic<int>& alive,
                TBody body)
        : TManagedThread(id, manager), fAlive(alive), fBody(std::move(body)) {
        ++fAlive;
    }
    ~TTestWorker() override { --fAlive; }

    std::latch ExecuteDone{1};

  protected:
    void Execute() override {
        struct TDone {
            std::latch& Done;
            ~TDone() { Done.count_down(); }
        } done{ExecuteDone};
        fBody(*this);
    }

  private:
    std::atomic<int>& fAlive;
    TBody fBody;
};

TTestWorker::TBody Finish(int result, std::string text) {
    return [=](TTestWorker& self) {
        self.SetReturnValue(result);
        self.SetCustomReturnValue(text);
    };
}

TTestWorker::TBody RunUntilTerminated() {
    return [](TTestWorker& self) {
        while (!self.Terminated()) {
            std::this_thread::sleep_for(1ms);
        }
    };
}

// Fails after TManagedThread's constructor has registered it.
class TFailingWorker : public km::TManagedThread {
  public:
    TFailingWorker(const std::string& id, km::TThreadManager* manager)
        : TManagedThread(id, manager) {
        throw std::runtime_error("Konstruktor fehlgeschlagen");
    }

  protected:
    void Execute() override {}
};

// Replaces the handler that would move it to the ended threads, so the
// manager finds it among the running ones even after it has ended.
class TUnmovedWorker : public TTestWorker {
  public:
    TUnmovedWorker(const std::string& id, km::TThreadManager* manager, std::atomic<int>& alive)
        : TTestWorker(id, manager, alive, Finish(5, "")) {
        OnTerminate = nullptr;
    }
};

template <class Fn>
void ExpectInternalError(Fn fn, const std::string& message) {
    try {
        fn();
        ADD_FAILURE() << "no EInternalError, expected: " << message;
    } catch (const km::EInternalError& e) {
        EXPECT_EQ(e.Message(), message);
    }
}

class ThreadManagerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        fManager.reset();
        EXPECT_EQ(fAlive, 0) << "the manager left threads behind";
    }

    TTestWorker* Start(const std::string& id, TTestWorker::TBody body) {
        return km::CreateManagedThread<TTestWorker>(id, fManager.get(), fAlive, std::move(body));
    }

    // What the event loop does while the window polls.
    void PumpWhileRunning(const std::string& id) {
        while (fManager->IsRunning(id)) {
            km::CheckSynchronize(50ms);
        }
    }

    std::atomic<int> fAlive{0};
    std::unique_ptr<km::TThreadManager> fManager = std::make_unique<km::TThreadManager>();
};

TEST_F(ThreadManagerTest, AWorkerCountsAsRunningUntilTheMainThreadHandledItsEnd) {
    const std::string id = "QBConfigUpdaterThread";
    TTestWorker* worker = Start(id, Finish(7, "fertig"));
    // The worker has ended before anybody polled; without the main thread its
    // end stays pending.
    worker->ExecuteDone.wait();
    EXPECT_TRUE(fManager->IsRunning(id));
    EXPECT_EQ(fManager->GetThread(id), worker);
    EXPECT_EQ(fManager->FindTerminatedThread(id), nullptr);

    PumpWhileRunning(id);
    EXPECT_EQ(fManager->GetThreadResult(id), 7);
    EXPECT_EQ(fManager->GetCustomThreadResult(id), "fertig");
    EXPECT_EQ(fManager->GetThread(id), worker);
    EXPECT_EQ(fManager->FindTerminatedThread(id), worker);
    EXPECT_EQ(fManager->FindRunningThread(id), nullptr);
    EXPECT_EQ(fAlive, 1) << "an ended thread stays until the manager frees it";
}

TEST_F(ThreadManagerTest, ResultsAreEmptyBeforeTheWorkerSetsThem) {
    std::latch gate(1);
    Start("w", [&](TTestWorker& self) {
        gate.wait();
        Finish(3, "drei")(self);
    });
    EXPECT_EQ(fManager->GetThreadResult("w"), 0);
    EXPECT_EQ(fManager->GetCustomThreadResult("w"), "");
    gate.count_down();
    PumpWhileRunning("w");
    EXPECT_EQ(fManager->GetThreadResult("w"), 3);
    EXPECT_EQ(fManager->GetCustomThreadResult("w"), "drei");
}

TEST_F(ThreadManagerTest, IdsCompareWithoutRegardToLetterCase) {
    const struct {
        std::string first;
        std::string second;
        bool same;
    } cases[] = {
        {"QBConfigUpdaterThread", "qbconfigUPDATERthread", true},
        {"Äpfel", "äPFEL", true},
        {"Übung", "üBUNG", true},
        {"Äpfel", "Apfel", false},
        {"Thread1", "Thread2", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + " / " + c.second);
        TTestWorker* first = Start(c.first, RunUntilTerminated());
        EXPECT_EQ(fManager->GetThread(c.second) == first, c.same);
        EXPECT_EQ(fManager->IsRunning(c.second), c.same);
        if (c.same) {
            ExpectInternalError([&] { Start(c.second, Finish(1, "")); }, "Thread already running");
            EXPECT_EQ(fAlive, 1) << "the refused worker must not exist";
        } else {
            Start(c.second, RunUntilTerminated());
            EXPECT_EQ(fAlive, 2);
        }
        EXPECT_EQ(fManager->GetThread(c.first), first) << "the first registration is untouched";
        fManager->StopAll(true);
        EXPECT_EQ(fAlive, 0);
        EXPECT_FALSE(fManager->IsRunning(c.first));
    }
}

TEST_F(ThreadManagerTest, AnIdMayBeRegisteredAgainWhileItsEarlierThreadWaitsToBeFreed) {
    TTestWorker* old = Start("Updater", Finish(1, "alt"));
    PumpWhileRunning("Updater");
    TTestWorker* renewed = Start("UPDATER", RunUntilTerminated());

    EXPECT_TRUE(fManager->IsRunning("updater"));
    EXPECT_EQ(fManager->FindRunningThread("updater"), renewed);
    // The ended thread wins until it is freed.
    EXPECT_EQ(fManager->GetThread("updater"), old);
    EXPECT_EQ(fManager->GetThreadResult("updater"), 1);
    EXPECT_EQ(fManager->GetCustomThreadResult("updater"), "alt");

    fManager->FreeTerminatedThread(old);
    EXPECT_EQ(fAlive, 1);
    EXPECT_EQ(fManager->GetThread("updater"), renewed);
}

TEST_F(ThreadManagerTest, UnknownIds) {
    ExpectInternalError([&] { fManager->GetThreadResult("Nix"); }, "Thread not found: Nix");
    ExpectInternalError([&] { fManager->GetCustomThreadResult("Ärger"); },
                        "Thread not found: Ärger");
    EXPECT_EQ(fManager->GetThread("Nix"), nullptr);
    EXPECT_FALSE(fManager->IsRunning("Nix"));
    fManager->Stop("Nix", true);
    fManager->Stop("Nix", false);
    // An empty manager stops at once and stays empty.
    fManager->StopAll(true);
    fManager->StopAll(false);
    fManager->FreeAllTerminated();
    fManager->FreeTerminatedThread(nullptr);
}

TEST_F(ThreadManagerTest, StopWithWaitingFreesTheThread) {
    TTestWorker* worker = Start("w", RunUntilTerminated());
    fManager->Stop("W", true);
    EXPECT_EQ(fAlive, 0);
    EXPECT_EQ(fManager->GetThread("w"), nullptr);
    (void)worker;
}

TEST_F(ThreadManagerTest, StopWithoutWaitingLeavesTheThreadToTheManagersEnd) {
    TTestWorker* worker = Start("w", RunUntilTerminated());
    fManager->Stop("w", false);
    EXPECT_TRUE(worker->Terminated());
    // Nothing has handled its end yet.
    EXPECT_TRUE(fManager->IsRunning("w"));
    fManager.reset();
    EXPECT_EQ(fAlive, 0);
}

TEST_F(ThreadManagerTest, StopAllWithoutWaitingThenFreeingTheManager) {
    TTestWorker* ended = Start("ended", Finish(2, ""));
    Start("running", RunUntilTerminated());
    ended->ExecuteDone.wait();
    fManager->StopAll(false);
    EXPECT_TRUE(fManager->IsRunning("ended"));
    EXPECT_TRUE(fManager->IsRunning("running"));
    fManager.reset();
    EXPECT_EQ(fAlive, 0);
}

TEST_F(ThreadManagerTest, StopAllWithWaitingFreesEveryThread) {
    TTestWorker* ended = Start("ended", Finish(2, ""));
    PumpWhileRunning("ended");
    Start("a", RunUntilTerminated());
    Start("b", RunUntilTerminated());
    fManager->StopAll(true);
    EXPECT_EQ(fAlive, 0);
    for (const char* id : {"ended", "a", "b"}) {
        EXPECT_EQ(fManager->GetThread(id), nullptr) << id;
    }
    (void)ended;
}

TEST_F(ThreadManagerTest, AnExceptionEscapingExecuteEndsTheWorkerNormally) {
    TTestWorker* worker = Start("w", [](TTestWorker&) { throw std::runtime_error("kaputt"); });
    PumpWhileRunning("w");
    EXPECT_EQ(fManager->GetThreadResult("w"), 0);
    ASSERT_NE(worker->FatalException(), nullptr);
    EXPECT_THROW(std::rethrow_exception(worker->FatalException()), std::runtime_error);
}

TEST_F(ThreadManagerTest, AWorkerWhoseConstructionFailsLeavesNoEntry) {
    EXPECT_THROW(km::CreateManagedThread<TFailingWorker>("w", fManager.get()), std::runtime_error);
    EXPECT_FALSE(fManager->IsRunning("w"));
    EXPECT_EQ(fManager->GetThread("w"), nullptr);
    // The id is free again.
    Start("w", Finish(4, ""));
    PumpWhileRunning("w");
    EXPECT_EQ(fManager->GetThreadResult("w"), 4);
}

TEST_F(ThreadManagerTest, EndedThreadsThatNeverMovedAreFreedToo) {
    auto* freedByStop = km::CreateManagedThread<TUnmovedWorker>("a", fManager.get(), fAlive);
    km::CreateManagedThread<TUnmovedWorker>("b", fManager.get(), fAlive);
    EXPECT_EQ(freedByStop->WaitFor(), 5);
    EXPECT_TRUE(fManager->IsRunning("a"));
    fManager->Stop("a", true);
    EXPECT_EQ(fManager->GetThread("a"), nullptr);
    EXPECT_EQ(fAlive, 1);
    // "b" is left for the manager's destructor (TearDown checks it went).
}

TEST_F(ThreadManagerTest, MisuseFailsAssertions) {
    bool refused = false;
    std::thread other([&] {
        try {
            fManager->IsRunning("w");
        } catch (const km::EAssertionFailed&) {
            refused = true;
        }
    });
    other.join();
    EXPECT_TRUE(refused) << "the manager must refuse other threads than the main thread";

    class TPlainThread : public km::TThread {
      protected:
        void Execute() override {}
    } plain;
    EXPECT_THROW(fManager->MoveToTerminated(&plain), km::EAssertionFailed);

    km::TThreadManager otherManager;
    TTestWorker* foreign =
        km::CreateManagedThread<TTestWorker>("f", &otherManager, fAlive, RunUntilTerminated());
    EXPECT_THROW(fManager->FreeTerminatedThread(foreign), km::EAssertionFailed);
    EXPECT_THROW(fManager->MoveToTerminated(foreign), km::EAssertionFailed);
    EXPECT_TRUE(otherManager.IsRunning("f"));
}

}  // namespace
