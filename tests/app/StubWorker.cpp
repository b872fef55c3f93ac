#include "StubWorker.h"

#include <chrono>
#include <thread>

#include "MainForm.h"

namespace apptest {

TStubWorker::TStubWorker(km::TThreadManager* manager, int result, std::string text, TStubEnd end,
                         std::shared_ptr<TStubProbe> probe)
    : km::TManagedThread(qb::kUpdaterThreadId, manager),
      fResult(result),
      fText(std::move(text)),
      fEnd(end),
      fProbe(std::move(probe)) {}

void TStubWorker::Execute() {
    while (fEnd != TStubEnd::AtOnce && !Terminated() &&
           !(fEnd == TStubEnd::WhenReleased && fProbe->release)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fProbe->sawStop = Terminated();
    SetReturnValue(fResult);
    SetCustomReturnValue(fText);
    fProbe->finished = true;
}

}  // namespace apptest
