#include "UpdaterFollowUp.h"

#include "common/base/KmException.h"
#include "quorbel/ConfigUpdaterThread.h"
#include "quorbel/Problem.h"

namespace {

qb::TConfigUpdaterThread& Updater(km::TManagedThread& worker) {
    auto* updater = dynamic_cast<qb::TConfigUpdaterThread*>(&worker);
    if (updater == nullptr) {
        throw km::EInternalError("Thread is not a TConfigUpdaterThread: " + worker.ThreadId());
    }
    return *updater;
}

}  // namespace

std::string ReadUpdaterResultText(km::TManagedThread& worker) {
    return qb::ProblemText(Updater(worker).Report().Problem);
}

TFollowUpProgram ReadUpdaterFollowUp(km::TManagedThread& worker) {
    qb::TConfigUpdaterThread* updater = &Updater(worker);
    // An install package that names no program has nothing to start: its
    // path would be the bare target folder, which no launcher opens.
    if (updater->ToRun().empty()) {
        return {};
    }
    return {updater->GetToRun(), updater->RunParams()};
}
