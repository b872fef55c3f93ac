#include "UpdaterFollowUp.h"

#include "common/base/KmException.h"
#include "quorbel/ConfigUpdaterThread.h"

TFollowUpProgram ReadUpdaterFollowUp(km::TManagedThread& worker) {
    auto* updater = dynamic_cast<qb::TConfigUpdaterThread*>(&worker);
    if (updater == nullptr) {
        throw km::EInternalError("Thread is not a TConfigUpdaterThread: " + worker.ThreadId());
    }
    // An install package that names no program has nothing to start: its
    // path would be the bare target folder, which no launcher opens.
    if (updater->ToRun().empty()) {
        return {};
    }
    return {updater->GetToRun(), updater->RunParams()};
}
