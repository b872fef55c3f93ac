#pragma once

// A stand-in for the update worker: ends with a given result code and text,
// at once, when released, or only when asked to stop.

#include <atomic>
#include <memory>
#include <string>

#include "common/thread/ThreadManager.h"

namespace apptest {

// What the test and the worker share; it outlives the worker.
struct TStubProbe {
    std::atomic<bool> release{false};  // ends a worker that waits for it
    std::atomic<bool> sawStop{false};  // the worker was asked to stop
    std::atomic<bool> finished{false};
};

enum class TStubEnd { AtOnce, WhenReleased, WhenStopped };

class TStubWorker : public km::TManagedThread {
  public:
    TStubWorker(km::TThreadManager* manager, int result, std::string text, TStubEnd end,
                std::shared_ptr<TStubProbe> probe);

  protected:
    void Execute() override;

  private:
    int fResult;
    std::string fText;
    TStubEnd fEnd;
    std::shared_ptr<TStubProbe> fProbe;
};

}  // namespace apptest
